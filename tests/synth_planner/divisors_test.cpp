#include "synth/planner/divisors.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace tamrik::synth::detail {
namespace {

std::vector<std::uint32_t> divisorsByTrial(std::uint32_t n, std::uint32_t lo, std::uint32_t hi) {
  std::vector<std::uint32_t> out;
  for (std::uint64_t d = lo; d <= hi && d <= n; ++d) {
    if (n % d == 0) out.push_back(static_cast<std::uint32_t>(d));
  }
  return out;
}

bool isPrimeByTrial(std::uint32_t n) {
  if (n < 2) return false;
  for (std::uint64_t p = 2; p * p <= n; ++p) {
    if (n % p == 0) return false;
  }
  return true;
}

std::uint64_t product(const Factorization& f) {
  std::uint64_t v = 1;
  for (int i = 0; i < f.count; ++i) {
    for (int e = 0; e < f.factors[i].exponent; ++e) v *= f.factors[i].prime;
  }
  return v;
}

void expectFactorizationOf(std::uint32_t n) {
  const Factorization f = factorize(n);
  EXPECT_EQ(product(f), n) << n;
  for (int i = 0; i < f.count; ++i) {
    EXPECT_TRUE(isPrimeByTrial(f.factors[i].prime)) << n << ": " << f.factors[i].prime;
    if (i > 0) {
      EXPECT_LT(f.factors[i - 1].prime, f.factors[i].prime) << n;
    }
  }
}

TEST(Divisors, FactorizationMultipliesBackFromIncreasingPrimes) {
  // Edges of the trial division: 1, powers of two, squares and products of primes around 1000
  // (where the primality shortcut starts) and 65536 (the end of the prime table), and the largest
  // 32-bit numbers.
  for (const std::uint32_t n :
       {1u, 2u, 3u, 4u, 1024u, 0x80000000u, 997u * 997u, 1009u * 1009u, 997u * 1009u * 1013u,
        65521u * 65521u, 65521u * 65519u, 65537u * 65519u, 4294967291u, 4294967295u,
        2u * 3u * 5u * 7u * 11u * 13u * 17u * 19u * 23u, 200003u * 4062u, 1000003u * 997u}) {
    expectFactorizationOf(n);
  }
  std::mt19937_64 rng(7);
  for (int i = 0; i < 20000; ++i) expectFactorizationOf(static_cast<std::uint32_t>(rng()));
  EXPECT_EQ(factorize(1).count, 0);
}

TEST(Divisors, PrimalityAgreesWithTrialDivision) {
  for (std::uint32_t n = 0; n < 20000; ++n) EXPECT_EQ(isPrime(n), isPrimeByTrial(n)) << n;
  // Strong pseudoprimes to some of the bases, and large primes and composites.
  for (const std::uint32_t n : {2047u, 1373653u, 25326001u, 3215031751u, 4294967291u,
                                4294967279u, 65521u * 65521u, 2147483647u, 2147483649u}) {
    EXPECT_EQ(isPrime(n), isPrimeByTrial(n)) << n;
  }
}

TEST(Divisors, DivisorsInRangeAreExactlyTheDivisorsThere) {
  std::mt19937_64 rng(11);
  for (int i = 0; i < 300; ++i) {
    // The planner's products lie around 2e8..8e8 with l between about 1000 and 40000.
    const auto n = static_cast<std::uint32_t>(190000000 + rng() % 630000000);
    const auto lo = static_cast<std::uint32_t>(900 + rng() % 5000);
    const auto hi = lo * 10;
    std::vector<std::uint32_t> got;
    divisorsInRange(factorize(n), lo, hi, got);
    EXPECT_EQ(got, divisorsByTrial(n, lo, hi)) << n;
  }
  std::vector<std::uint32_t> got = {7};  // appends to what is there
  divisorsInRange(factorize(720720), 10, 20, got);
  EXPECT_EQ(got, (std::vector<std::uint32_t>{7, 10, 11, 12, 13, 14, 15, 16, 18, 20}));
  got.clear();
  divisorsInRange(factorize(720720), 20, 10, got);
  EXPECT_TRUE(got.empty());
}

}  // namespace
}  // namespace tamrik::synth::detail
