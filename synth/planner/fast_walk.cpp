// The fast divider search.
//
// The walk's candidate (N1, c, N2, l) has the reference ref = round(q/l) with q = F*N1*c/N2, and
// the frequency (ref*l)*k with k = N2/(N1*c). Write R = ref*l: it is the multiple of l nearest to
// q, the candidate's error is about k*|R - q|, and every candidate of a block (one N1, c and N2,
// all l) built on the same R has the very same computed frequency R*k. So a block can only beat
// an error e through integers R within about e/k of q, and only through those of them that have a
// divisor l in [lmin, lmax] whose rounded reference is R/l.
//
// The search goes through the blocks in the walk's order, a chunk of output dividers at a time.
// A vectorized filter (block_filter.cpp) computes for every block the walk's exact error for the
// integer nearest q and a bound for all other integers, and keeps only the blocks that could beat
// the best error found so far. For a kept block the search tries the integers nearest q, nearest
// first, computes each one's error exactly as the walk does, and factors only those that would
// beat the best; every divisor l of such an R in [lmin, lmax] is then evaluated with the walk's
// own arithmetic. It stops at the first integer too far from q to beat the best, allowing a margin
// for the difference between the estimated and the computed error. Within a block the smallest
// error wins, the smallest l among equal errors; across blocks only a strictly smaller error
// replaces the best. That is the walk's own rule, so the result is the walk's, and the first block
// holding a candidate equal to the request ends the search where the walk would end.
//
// Safe fallbacks, counted in SearchStats::fallbackBlocks: a block in which too many integers lie
// close enough to q is walked candidate by candidate, and a search that accepts no candidate at all
// (possible only on a tiny slice of the walk) is repeated as the plain walk, which alone reproduces
// the 1 Hz stand-in that the walk keeps for an excluded reference in that case.

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cmath>
#include <vector>

#include "synth/planner/block_filter.h"
#include "synth/planner/divisors.h"
#include "synth/planner/walk.h"

namespace tamrik::synth::detail {

CRange outputDividerRange(double f, int n1) {
  auto cmin = static_cast<std::int64_t>(std::floor(2100000000.0 / f / n1 + 0.999));
  if (cmin < 1) cmin = 1;
  auto cmax = static_cast<std::int64_t>(std::floor(3250000000.0 / f / n1));
  if (cmax > 524288) cmax = 524288;
  return {cmin, cmax};
}

namespace {

// Largest number of output dividers filtered together. The first chunk holds one and each next
// one twice as many, so that the best error has fallen before the filter sees many blocks.
constexpr std::int64_t kMaxChunk = 1024;
// Integers R tried in one block before it is walked candidate by candidate instead.
constexpr int kMaxProductsPerBlock = 96;
// How often the observer hears from the search.
constexpr auto kReportInterval = std::chrono::milliseconds(8);

struct BlockBest {
  double error = INFINITY;
  std::int64_t l = 0;
  std::int32_t ref = 0;
  double achieved = 0.0;
};

class FastWalk {
 public:
  FastWalk(double f, std::span<const std::int32_t> excluded, SearchObserver* observer,
           SearchStats* stats)
      : f_(f),
        margin_(f * 1e-14),
        excluded_(excluded.begin(), excluded.end()),
        observer_(observer),
        stats_(stats != nullptr ? stats : &localStats_) {
    std::sort(excluded_.begin(), excluded_.end());
  }

  WalkResult run(const WalkWindow& window) {
    if (!report(0.0, true)) return cancelled();
    std::int64_t chunk = 1;
    for (int n1 = 11; n1 >= 4; --n1) {
      if (n1 > window.n1High || n1 < window.n1Low) continue;
      const CRange range = outputDividerRange(f_, n1);
      const std::int64_t cFrom = std::min(range.cmax, window.cHigh);
      const std::int64_t cTo = std::max(range.cmin, window.cLow);
      const double base = (11.0 - n1) / 8.0;
      const double fn1 = f_ * n1;
      for (std::int64_t hi = cFrom; hi >= cTo;) {
        const double fraction = base + static_cast<double>(range.cmax - hi) /
                                           static_cast<double>(range.cmax - range.cmin + 1) / 8.0;
        if (!report(fraction, false)) return cancelled();
        const std::int64_t lo = std::max(cTo, hi - chunk + 1);
        const auto n = static_cast<std::size_t>(hi - lo + 1);
        filter(fn1, n1, hi, n);
        for (std::size_t i = 0; i < n; ++i) {
          for (std::uint64_t m = masks_[i]; m != 0; m &= m - 1) {
            const int n2 = 11 - std::countr_zero(m);
            if (examineBlock(n1, hi - static_cast<std::int64_t>(i), n2)) return result_;
            if (++sinceClockCheck_ >= 32 && !report(fraction, false)) return cancelled();
          }
        }
        hi = lo - 1;
        chunk = std::min(chunk * 2, kMaxChunk);
      }
    }
    result_.end = WalkEnd::Closest;
    return result_;
  }

  bool acceptedAnything() const { return result_.bestError < kStartingBest; }
  std::span<const std::int32_t> sortedExcluded() const { return excluded_; }

 private:
  // Marks the blocks of output dividers hi, hi-1, ..., hi-n+1 that may beat the best so far.
  void filter(double fn1, int n1, std::int64_t hi, std::size_t n) {
    const double best = result_.bestError;
    markBlocks(hi, masks_.data(), static_cast<int>(n), f_, fn1, n1, best,
               best * (1.0 + 1e-12) + margin_);
    stats_->blocks += 8 * n;
  }

  // Looks at one block; returns true when it ended the walk with an exact candidate.
  bool examineBlock(int n1, std::int64_t c, int n2) {
    const double fh = f_ * n1 * static_cast<double>(c);
    auto lmin = static_cast<std::int64_t>(std::floor(fh / 200000.0 / n2 + 0.999));
    if (lmin < 1) lmin = 1;
    auto lmax = static_cast<std::int64_t>(std::floor(fh / 20000.0 / n2));
    if (lmax > 524288) lmax = 524288;
    if (lmin > lmax) return false;
    ++stats_->blocksExamined;
    const double q = fh / n2;
    const double k = static_cast<double>(n2) / static_cast<double>(n1 * c);

    BlockBest block;
    // Integers on either side of q, nearest first.
    auto below = static_cast<std::int64_t>(std::floor(q));
    std::int64_t above = below + 1;
    int tried = 0;
    for (;;) {
      const double dBelow = below >= 1 ? q - static_cast<double>(below) : INFINITY;
      const double dAbove = static_cast<double>(above) - q;
      const bool takeBelow = dBelow <= dAbove;
      const std::int64_t product = takeBelow ? below : above;
      const double distance = takeBelow ? dBelow : dAbove;
      // No candidate built on this integer (or any farther one) can have an error at or below
      // the cutoff: its computed error exceeds k*distance less the margin.
      const double cutoff = std::min(result_.bestError, block.error);
      if (k * distance > cutoff * (1.0 + 1e-12) + margin_) break;
      if (++tried > kMaxProductsPerBlock) {
        ++stats_->fallbackBlocks;
        block = walkBlockLiterally(lmin, lmax, q, k);
        break;
      }
      if (takeBelow) {
        --below;
      } else {
        ++above;
      }
      // Every candidate on this integer has the computed frequency product*k; only factor it when
      // that frequency could win.
      const double error = std::fabs(static_cast<double>(product) * k - f_);
      if (error < result_.bestError && error <= block.error) {
        tryProduct(product, lmin, lmax, q, k, block);
      }
    }

    if (block.error < result_.bestError) {
      result_.bestError = block.error;
      result_.achievedHz = block.achieved;
      result_.dividers = DividerSet{block.ref, 1, n2, static_cast<std::int32_t>(2 * block.l), n1,
                                    static_cast<std::int32_t>(2 * c),
                                    static_cast<std::int32_t>(2 * c), 9};
      if (block.achieved == f_) {
        result_.end = WalkEnd::Exact;
        return true;
      }
    }
    return false;
  }

  // Every candidate of the block whose reference times l equals product.
  void tryProduct(std::int64_t product, std::int64_t lmin, std::int64_t lmax, double q, double k,
                  BlockBest& block) {
    ++stats_->productsTested;
    if (product > 0xFFFFFFFFll) return;  // far beyond any reference the block can give
    const auto r = static_cast<std::uint32_t>(product);
    if (blockedByKnownFactor(r, lmin)) return;
    const Factorization factors = factorize(r);
    rememberBlockingFactor(factors, r, lmin);
    divisors_.clear();
    divisorsInRange(factors, static_cast<std::uint32_t>(lmin), static_cast<std::uint32_t>(lmax),
                    divisors_);
    for (const std::uint32_t l : divisors_) {
      // The walk's own reference for this l; the candidate belongs to this product only if the
      // rounding lands on it.
      const auto ref = walkReference(q, static_cast<double>(l));
      if (static_cast<std::int64_t>(ref) * l != product) continue;
      evaluate(ref, l, k, block);
    }
  }

  // A factor g of R made of primes above every l the walk can use (l <= 40625) must go whole into
  // the reference, so l divides R/g; if R/g < lmin no l is left. The products of one search often
  // share such a factor (a large prime of the request's numerator), so the last few found are
  // tried before factoring.
  static constexpr std::uint64_t kLargestL = 40625;

  bool blockedByKnownFactor(std::uint32_t r, std::int64_t lmin) const {
    for (const std::uint32_t g : blockingFactors_) {
      if (g != 0 && r % g == 0 && static_cast<std::int64_t>(r / g) < lmin) return true;
    }
    return false;
  }

  void rememberBlockingFactor(const Factorization& factors, std::uint32_t r, std::int64_t lmin) {
    std::uint64_t g = 1;
    for (int i = 0; i < factors.count; ++i) {
      const PrimePower& pp = factors.factors[i];
      if (pp.prime <= kLargestL) continue;
      for (int e = 0; e < pp.exponent; ++e) g *= pp.prime;
    }
    if (g == 1 || static_cast<std::int64_t>(r / g) >= lmin) return;
    const auto g32 = static_cast<std::uint32_t>(g);
    if (std::find(blockingFactors_.begin(), blockingFactors_.end(), g32) != blockingFactors_.end()) {
      return;
    }
    blockingFactors_[nextBlockingFactor_] = g32;
    nextBlockingFactor_ = (nextBlockingFactor_ + 1) % blockingFactors_.size();
  }

  // The walk's evaluation of one candidate. Excluded references (which the walk turns into 1 Hz)
  // and multiples of 48 are never kept: a 1 Hz reference is accepted by the walk only before any
  // real candidate, and the first real candidate replaces it.
  void evaluate(std::int32_t ref, std::int64_t l, double k, BlockBest& block) {
    ++stats_->candidates;
    if (ref % 48 == 0 || std::binary_search(excluded_.begin(), excluded_.end(), ref)) return;
    const double achieved = (static_cast<double>(ref) * static_cast<double>(l)) * k;
    const double error = std::fabs(achieved - f_);
    if (error < block.error || (error == block.error && l < block.l)) {
      block = BlockBest{error, l, ref, achieved};
    }
  }

  BlockBest walkBlockLiterally(std::int64_t lmin, std::int64_t lmax, double q, double k) {
    BlockBest block;
    for (std::int64_t l = lmin; l <= lmax; ++l) {
      const auto ref = walkReference(q, static_cast<double>(l));
      evaluate(ref, l, k, block);
    }
    return block;
  }

  bool report(double fraction, bool force) {
    sinceClockCheck_ = 0;
    if (observer_ == nullptr) return true;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - lastReport_ < kReportInterval) return true;
    lastReport_ = now;
    lastFraction_ = std::max(lastFraction_, fraction);
    return observer_->progress(lastFraction_);
  }

  WalkResult cancelled() const {
    WalkResult r;
    r.end = WalkEnd::Cancelled;
    return r;
  }

  const double f_;
  const double margin_;  // covers the rounding differences between estimated and computed errors
  std::vector<std::int32_t> excluded_;
  SearchObserver* observer_;
  SearchStats localStats_;
  SearchStats* stats_;
  WalkResult result_;
  std::vector<std::uint64_t> masks_ = std::vector<std::uint64_t>(kMaxChunk);
  std::vector<std::uint32_t> divisors_;
  std::array<std::uint32_t, 4> blockingFactors_{};
  std::size_t nextBlockingFactor_ = 0;
  std::chrono::steady_clock::time_point lastReport_{};
  double lastFraction_ = 0.0;
  int sinceClockCheck_ = 0;
};

// The exhaustive walk, used only when the fast search accepted no candidate at all: then the walk
// may end holding a 1 Hz stand-in for an excluded reference, which the fast search never keeps.
WalkResult literalWalk(double f, std::span<const std::int32_t> sortedExcluded,
                       const WalkWindow& window, SearchObserver* observer) {
  WalkResult r;
  double best = kStartingBest;
  for (int n1 = 11; n1 >= 4; --n1) {
    const CRange range = outputDividerRange(f, n1);
    if (n1 > window.n1High || n1 < window.n1Low) continue;
    const std::int64_t cFrom = std::min(range.cmax, window.cHigh);
    const std::int64_t cTo = std::max(range.cmin, window.cLow);
    for (std::int64_t c = cFrom; c >= cTo; --c) {
      if (observer != nullptr) {
        const double fraction = (11.0 - n1) / 8.0 + static_cast<double>(range.cmax - c) /
                                                        static_cast<double>(range.cmax - range.cmin + 1) / 8.0;
        if (!observer->progress(fraction)) {
          r = WalkResult{};
          r.end = WalkEnd::Cancelled;
          return r;
        }
      }
      const double fh = f * n1 * static_cast<double>(c);
      for (int n2 = 11; n2 >= 4; --n2) {
        auto lmin = static_cast<std::int64_t>(std::floor(fh / 200000.0 / n2 + 0.999));
        if (lmin < 1) lmin = 1;
        auto lmax = static_cast<std::int64_t>(std::floor(fh / 20000.0 / n2));
        if (lmax > 524288) lmax = 524288;
        const double q = fh / n2;
        const double k = static_cast<double>(n2) / static_cast<double>(n1 * c);
        for (std::int64_t l = lmin; l <= lmax; ++l) {
          auto ref = walkReference(q, static_cast<double>(l));
          if (std::binary_search(sortedExcluded.begin(), sortedExcluded.end(), ref)) ref = 1;
          const double candidate = (static_cast<double>(ref) * static_cast<double>(l)) * k;
          if (std::fabs(candidate - f) < best && ref % 48 != 0) {
            best = std::fabs(candidate - f);
            r.achievedHz = candidate;
            r.bestError = best;
            r.dividers = DividerSet{ref, 1, n2, static_cast<std::int32_t>(2 * l), n1,
                                    static_cast<std::int32_t>(2 * c),
                                    static_cast<std::int32_t>(2 * c), 9};
            if (candidate == f) {
              r.end = WalkEnd::Exact;
              return r;
            }
          }
        }
      }
    }
  }
  r.end = WalkEnd::Closest;
  return r;
}

}  // namespace

WalkResult fastWalk(double f, std::span<const std::int32_t> excluded, const WalkWindow& window,
                    SearchObserver* observer, SearchStats* stats) {
  FastWalk walk(f, excluded, observer, stats);
  WalkResult r = walk.run(window);
  if (r.end == WalkEnd::Closest && !walk.acceptedAnything()) {
    if (stats != nullptr) ++stats->fallbackBlocks;
    r = literalWalk(f, walk.sortedExcluded(), window, observer);
  }
  return r;
}

}  // namespace tamrik::synth::detail
