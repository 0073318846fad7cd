// The futex calls the events and threads sleep on. Internal to the layer.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/types.h"

namespace win::detail {

// The monotonic clock in nanoseconds.
uint64_t monotonic_ns();

// The moment `milliseconds` from now on that clock; 0 for INFINITE.
uint64_t deadline_after(DWORD milliseconds);

// Sleeps while `word` holds `expected`, until the clock reaches `deadline`
// (0: no limit). Returns false only when the time ran out; a wake, a
// changed word or an interruption all return true, and the caller looks
// again. The deadline is absolute, so no retry can make a wait shorter.
bool futex_wait(std::atomic<uint32_t>* word, uint32_t expected, uint64_t deadline);
void futex_wake(std::atomic<uint32_t>* word, int count);

}  // namespace win::detail
