// The relay's process-wide state, as it stands before wmain runs.
// thread_stack_size lives with the thread record in common/.
#include "relay/globals.h"

QOR_TASK* tasks = nullptr;
uint16_t cw_connections = 0;
uint64_t packet_length = 0;
uint64_t so_sndbuf = 0;
SOCKET so_listen = INVALID_SOCKET;
uint32_t task_counter = 0;
bool stop = false;
bool serve_failed = false;
bool line_pending = false;
int32_t active_count = 0;
QOR_EVENT park_event = {};
QOR_THREAD park_thread = {};
