#include "synth/planner/block_filter.h"

#include <cmath>
#include <initializer_list>

// On x86-64 the loop gets an AVX2 version besides the baseline one, picked when the program
// loads. Both do the same IEEE operations in the same order (the walk's k = N2/(N1*c) and R*k), so
// they mark the same blocks. The pick needs the ELF loader's ifunc: Windows builds take the
// baseline loop.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && !defined(_WIN32)
#define TAMRIK_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define TAMRIK_VECTOR_CLONES
#endif

namespace tamrik::synth::detail {
namespace {

// Adding and subtracting 1.5*2^52 rounds a double below 2^51 to the nearest integer.
constexpr double kRoundMagic = 6755399441055744.0;

}  // namespace

// All candidates of a block built on the same integer R = ref*l have the same computed frequency
// R*k, so the walk's own error for the integer nearest q costs one division: the block is kept if
// that error beats the best. Any other integer is at least 1-d from q, so the block is also kept
// if k*(1-d) does not exceed the bound. x = c*F*N1/N2 differs from the walk's q by a few units in
// the last place, far less than the 1e-6 allowed for it; a q that lies too near the middle
// between two integers to tell which one is nearer keeps its block.
TAMRIK_VECTOR_CLONES
void markBlocks(std::int64_t hi, std::uint64_t* __restrict masks, int n, double f, double fn1,
                int n1, double best, double bound) {
  const double n1d = n1;
  const auto top = static_cast<double>(hi);
  for (int i = 0; i < n; ++i) masks[i] = 0;
  for (int j = 0; j < 8; ++j) {
    const double n2 = 11 - j;
    const double a = fn1 / n2;
    const std::uint64_t bit = std::uint64_t{1} << j;
    for (int i = 0; i < n; ++i) {
      const double c = top - i;         // exact: whole numbers far below 2^53
      const double k = n2 / (n1d * c);  // the walk's k: N2 / (N1*c), exact integers
      const double x = c * a;
      const double nearest = (x + kRoundMagic) - kRoundMagic;
      const double d = std::fabs(x - nearest);
      const double error = std::fabs(nearest * k - f);
      const bool keep = (d > 0.5 - 1e-6) | (error < best) | (k * (1.0 - d - 1e-6) <= bound);
      masks[i] |= keep ? bit : std::uint64_t{0};
    }
  }
}

}  // namespace tamrik::synth::detail
