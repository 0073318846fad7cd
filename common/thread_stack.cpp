// The stack reservation of every thread the relay creates; the relay sets
// it to the allocation granularity before it starts any thread.
#include "common/thread.h"

uint64_t thread_stack_size = 0;
