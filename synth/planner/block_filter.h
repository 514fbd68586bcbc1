#pragma once
// The planner's inner filter over blocks of the walk, kept in its own file so that it can be
// compiled for vector units.

#include <cstddef>
#include <cstdint>

namespace tamrik::synth::detail {

// For the output dividers cs[0..n) (as doubles) of one N1 and each N2 from 11 down to 4, sets bit
// 11-N2 of masks[i] when block (N1, cs[i], N2) may hold a candidate whose computed error is below
// `best`; `bound` is best plus the rounding margin of the error estimate. fn1 is F*N1 as the walk
// computes it.
void markBlocks(const double* cs, std::uint8_t* masks, std::size_t n, double f, double fn1,
                int n1, double best, double bound);

}  // namespace tamrik::synth::detail
