#include "tests/synth_planner/literal_walk.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace tamrik::synth::reference {

using detail::WalkEnd;
using detail::WalkResult;

WalkResult literalWalk(double f, std::span<const std::int32_t> excluded,
                       const detail::WalkWindow& window, SearchObserver* observer) {
  WalkResult r;
  // Membership table of the excluded references.
  std::vector<bool> isExcluded;
  for (const std::int32_t e : excluded) {
    if (e < 0) continue;
    if (static_cast<std::size_t>(e) >= isExcluded.size()) isExcluded.resize(static_cast<std::size_t>(e) + 1);
    isExcluded[static_cast<std::size_t>(e)] = true;
  }
  double best = detail::kStartingBest;
  double a = 0.0;
  for (std::int32_t n1 = 11; n1 >= 4; --n1) {
    const double base = (11.0 - n1) / 8.0;
    auto cmin = static_cast<std::int64_t>(std::floor(2100000000.0 / f / n1 + 0.999));
    if (cmin < 1) cmin = 1;
    auto cmax = static_cast<std::int64_t>(std::floor(3250000000.0 / f / n1));
    if (cmax > 524288) cmax = 524288;
    if (n1 > window.n1High || n1 < window.n1Low) continue;
    const std::int64_t cFrom = std::min(cmax, window.cHigh);
    const std::int64_t cTo = std::max(cmin, window.cLow);
    for (std::int64_t c = cFrom; c >= cTo; --c) {
      if (observer != nullptr) {
        const double fraction =
            base + static_cast<double>(cmax - c) / static_cast<double>(cmax - cmin + 1) / 8.0;
        if (!observer->progress(fraction)) {
          r.end = WalkEnd::Cancelled;
          return r;
        }
      }
      const double fh = f * n1 * static_cast<double>(c);
      for (std::int32_t n2 = 11; n2 >= 4; --n2) {
        auto lmin = static_cast<std::int64_t>(std::floor(fh / 200000.0 / n2 + 0.999));
        if (lmin < 1) lmin = 1;
        auto lmax = static_cast<std::int64_t>(std::floor(fh / 20000.0 / n2));
        if (lmax > 524288) lmax = 524288;
        const double q = fh / n2;
        const double k = static_cast<double>(n2) / static_cast<double>(n1 * c);
        for (std::int64_t l = lmin; l <= lmax; ++l) {
          auto ref = static_cast<std::int32_t>(std::rint(q / static_cast<double>(l)));
          if (ref >= 0 && ref < static_cast<std::int64_t>(isExcluded.size()) &&
              isExcluded[static_cast<std::size_t>(ref)]) {
            ref = 1;
          }
          const double candidate = (static_cast<double>(ref) * static_cast<double>(l)) * k;
          if (std::fabs(candidate - f) < best && ref % 48 != 0) {
            a = candidate;
            best = std::fabs(a - f);
            r.dividers = DividerSet{ref, 1, n2, static_cast<std::int32_t>(2 * l), n1,
                                    static_cast<std::int32_t>(2 * c),
                                    static_cast<std::int32_t>(2 * c), 9};
            r.achievedHz = a;
            r.bestError = best;
            if (a == f) {
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

}  // namespace tamrik::synth::reference
