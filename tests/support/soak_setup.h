// Telling a WebSocket set-up that the relay judged late from a fault. The
// relay gives a connection's set-up 500 ms: a request that misses the window
// is no request, and the connection is relayed raw (or as plain TLS) by
// design, with no reply. soak_world::open_link tries such a set-up again.
#pragma once
#include <string>

#include "support/soak_console.h"
#include "support/soak_link.h"

// The relay judged late the request of a link of kind `k`, which got
// `answer` in place of its reply: the console `said` its kind without
// WebSocket, or the relay relayed healthy records to it raw before any
// reply (what goes to a WebSocket client always follows its reply; the
// kind after a connection's line may be another connection's, see
// console_kind_of). An answer that begins like an HTTP reply is a reply,
// however wrong, and never lateness.
bool judged_late(console_kind said, soak_link::kind k, const std::string& answer);
// Whole healthy records, unframed and unspoilt, are among `answer`.
bool relayed_raw(const std::string& answer);
