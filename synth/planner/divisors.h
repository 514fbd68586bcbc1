#pragma once
// Factorization of 32-bit numbers and their divisors within a range, as the planner needs them to
// find every way of writing a product ref*l with l in a given interval.

#include <cstdint>
#include <vector>

namespace tamrik::synth::detail {

struct PrimePower {
  std::uint32_t prime;
  int exponent;
};

// A 32-bit number has at most 9 distinct prime factors.
struct Factorization {
  PrimePower factors[9];
  int count = 0;
};

// Deterministic primality test for 32-bit numbers.
bool isPrime(std::uint32_t n);

// Prime factors of n (n >= 1) in increasing order.
Factorization factorize(std::uint32_t n);

// Appends the divisors of the factored number that lie in [lo, hi] to out, in increasing order.
void divisorsInRange(const Factorization& f, std::uint32_t lo, std::uint32_t hi,
                     std::vector<std::uint32_t>& out);

}  // namespace tamrik::synth::detail
