#pragma once
// The divider search written as the plain exhaustive walk, candidate by candidate. It is the
// reference that the fast planner is checked against; it can take many seconds per request.

#include <cstdint>
#include <span>

#include "synth/planner/walk.h"

namespace tamrik::synth::reference {

detail::WalkResult literalWalk(double f, std::span<const std::int32_t> excluded,
                               const detail::WalkWindow& window = {},
                               SearchObserver* observer = nullptr);

}  // namespace tamrik::synth::reference
