// The run's clock.
#pragma once
#include <stdint.h>

// Milliseconds from a fixed point, wrapping at 32 bits (GetTickCount; the
// monotonic clock on POSIX). Differences of two readings are elapsed times.
uint32_t TickCount();
