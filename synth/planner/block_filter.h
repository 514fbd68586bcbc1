#pragma once
// The planner's inner filter over blocks of the walk, kept in its own file so that it can be
// compiled for vector units.

#include <cstddef>
#include <cstdint>

namespace tamrik::synth::detail {

// For the output dividers c = hi, hi-1, ..., hi-n+1 of one N1 and each N2 from 11 down to 4, sets
// bit 11-N2 of masks[hi-c] when block (N1, c, N2) may hold a candidate whose computed error is
// below `best`; `bound` is best plus the rounding margin of the error estimate. fn1 is F*N1 as the
// walk computes it. n is at most 2^20. (Masks are 64-bit so that the vector code never narrows.)
void markBlocks(std::int64_t hi, std::uint64_t* masks, int n, double f, double fn1, int n1,
                double best, double bound);

}  // namespace tamrik::synth::detail
