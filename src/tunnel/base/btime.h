// The tunnel's millisecond clock: time elapsed since the clock was first
// initialised in this process, from a monotonic high-resolution counter.
#pragma once

#include <cstdint>

namespace vantor::tunnel {

using btime_t = int64_t;

// Later calls keep the first start value.
void BTime_Init();
btime_t btime_gettime();

// now + ms, saturating at the limits of btime_t.
btime_t btime_add(btime_t now, btime_t ms);

}  // namespace vantor::tunnel
