#include "synth/planner/divisors.h"

#include <algorithm>
#include <bit>

namespace tamrik::synth::detail {
namespace {

// Odd primes below 2^16 with what a division-free divisibility test needs: n is divisible by p
// exactly when n * inverse (mod 2^32) <= limit, and the product is then n / p.
struct OddPrime {
  std::uint32_t prime, inverse, limit;
};

struct PrimeTable {
  std::vector<OddPrime> primes;
  std::size_t firstAbove1000 = 0;

  PrimeTable() {
    constexpr std::uint32_t kBound = 1u << 16;
    std::vector<bool> composite(kBound, false);
    for (std::uint32_t i = 3; i < kBound; i += 2) {
      if (composite[i]) continue;
      std::uint32_t inv = i;  // Newton's iteration doubles the correct low bits each step.
      for (int step = 0; step < 5; ++step) inv *= 2u - i * inv;
      primes.push_back({i, inv, 0xFFFFFFFFu / i});
      if (i <= 1000) firstAbove1000 = primes.size();
      for (std::uint32_t j = i * i; j < kBound; j += 2 * i) composite[j] = true;
    }
  }
};

const PrimeTable& primeTable() {
  static const PrimeTable table;
  return table;
}

std::uint32_t mulMod(std::uint32_t a, std::uint32_t b, std::uint32_t m) {
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(a) * b % m);
}

std::uint32_t powMod(std::uint32_t base, std::uint32_t exp, std::uint32_t m) {
  std::uint32_t result = 1 % m;
  while (exp != 0) {
    if ((exp & 1u) != 0) result = mulMod(result, base, m);
    base = mulMod(base, base, m);
    exp >>= 1;
  }
  return result;
}

}  // namespace

bool isPrime(std::uint32_t n) {
  if (n < 2) return false;
  for (std::uint32_t p : {2u, 3u, 5u, 7u, 11u, 13u, 61u}) {
    if (n % p == 0) return n == p;
  }
  // Bases 2, 7 and 61 decide every n below 4,759,123,141.
  const int s = std::countr_zero(n - 1);
  const std::uint32_t d = (n - 1) >> s;
  for (std::uint32_t a : {2u, 7u, 61u}) {
    std::uint32_t x = powMod(a, d, n);
    if (x == 1 || x == n - 1) continue;
    bool witness = true;
    for (int r = 1; r < s && witness; ++r) {
      x = mulMod(x, x, n);
      if (x == n - 1) witness = false;
    }
    if (witness) return false;
  }
  return true;
}

Factorization factorize(std::uint32_t n) {
  Factorization f;
  if (n <= 1) return f;
  if (const int twos = std::countr_zero(n); twos > 0) {
    f.factors[f.count++] = {2, twos};
    n >>= twos;
  }
  const PrimeTable& table = primeTable();
  for (std::size_t i = 0; i < table.primes.size(); ++i) {
    const OddPrime& p = table.primes[i];
    if (static_cast<std::uint64_t>(p.prime) * p.prime > n) break;
    if (i == table.firstAbove1000 && isPrime(n)) break;  // spare the long tail for a big prime
    if (n * p.inverse <= p.limit) {
      int e = 0;
      do {
        n *= p.inverse;
        ++e;
      } while (n * p.inverse <= p.limit);
      f.factors[f.count++] = {p.prime, e};
    }
  }
  if (n > 1) f.factors[f.count++] = {n, 1};
  return f;
}

void divisorsInRange(const Factorization& f, std::uint32_t lo, std::uint32_t hi,
                     std::vector<std::uint32_t>& out) {
  if (lo > hi) return;
  const std::size_t first = out.size();
  // Depth-first over the prime powers, never building a divisor above hi.
  auto visit = [&](auto&& self, int index, std::uint64_t d) -> void {
    if (index == f.count) {
      if (d >= lo) out.push_back(static_cast<std::uint32_t>(d));
      return;
    }
    const PrimePower& pp = f.factors[index];
    for (int e = 0; e <= pp.exponent && d <= hi; ++e) {
      self(self, index + 1, d);
      d *= pp.prime;
    }
  };
  visit(visit, 0, 1);
  std::sort(out.begin() + static_cast<std::ptrdiff_t>(first), out.end());
}

}  // namespace tamrik::synth::detail
