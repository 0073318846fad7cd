// The futex calls the events and threads sleep on. Internal to the layer.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/types.h"

namespace win::detail {

// Sleeps while `word` holds `expected`, at most `milliseconds` (INFINITE:
// no limit). Returns false only when the time ran out; a wake, a changed
// word or an interruption all return true, and the caller looks again.
bool futex_wait(std::atomic<uint32_t>* word, uint32_t expected, DWORD milliseconds);
void futex_wake(std::atomic<uint32_t>* word, int count);

// The monotonic clock in milliseconds, for waits that loop on a deadline.
uint64_t monotonic_ms();

}  // namespace win::detail
