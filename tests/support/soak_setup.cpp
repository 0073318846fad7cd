// The set-up of the soak's links, with a fresh connection in place of a
// WebSocket set-up that the relay judged late: on a busy machine the soak's
// own clients can miss the relay's window, which is no fault of the relay.
// Every other failed set-up stays a fault, and so does lateness that does
// not end after a few tries.
#include "support/soak_setup.h"

#include <chrono>
#include <thread>

#include "support/client.h"
#include "support/soak_clients.h"

namespace {

constexpr int TRIES = 5;                  // a relay that turns every request down fails
constexpr int CONSOLE_WAIT_MS = 3000;     // for the connection's line and its kind
constexpr size_t EVIDENCE_BYTES = 1 << 16;

// The relay's reply comes before anything it relays to a WebSocket client;
// what begins like it is a reply, however wrong.
bool reply_like(const std::string& answer) {
  static const std::string http = "HTTP/";
  size_t n = answer.size() < http.size() ? answer.size() : http.size();
  return n > 0 && answer.compare(0, n, http, 0, n) == 0;
}

// The kind a late set-up leaves a link of kind `k`.
console_kind late_kind(soak_link::kind k) {
  return soak_link::secure(k) ? console_kind::tls : console_kind::raw;
}

// Waits a little for the console to name the connection of `l` late,
// reading on meanwhile for the proof of records relayed raw. `from`: where
// the console stood before the connection was made.
console_kind console_word(soak_world* world, soak_link& l, size_t from) {
  uint64_t end = now_us() + uint64_t(CONSOLE_WAIT_MS) * 1000;
  for (;;) {
    console_kind said = console_kind_of(world->console_from(from), l.w.tcp.local_port);
    if (said == late_kind(l.k) || relayed_raw(l.answer) || now_us() > end) return said;
    std::string more = l.answer.size() < EVIDENCE_BYTES ? l.w.read(4096, 10) : std::string();
    if (more.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    l.answer += more;
  }
}

// Whether the failed set-up of `l` was judged late; else *why gets what
// the console said.
bool late(soak_world* world, soak_link& l, size_t from, std::string* why) {
  // A TLS client's ClientHello that came late is relayed raw (RAW), a late
  // handshake dropped; neither is told apart: its bytes reach everyone.
  if (!l.asked && !soak_link::secure(l.k)) return false;
  if (l.asked && reply_like(l.answer)) return false;
  console_kind said = console_word(world, l, from);
  if (l.asked && judged_late(said, l.k, l.answer)) return true;
  *why += std::string(" (the console: ") + name(said) +
          (l.asked ? ", and no record relayed raw" : "") + ")";
  return false;
}

}  // namespace

bool relayed_raw(const std::string& answer) {
  soak_checker c;
  c.feed(reinterpret_cast<const uint8_t*>(answer.data()), answer.size());
  return !c.seen.empty() && c.errors.empty();
}

bool judged_late(console_kind said, soak_link::kind k, const std::string& answer) {
  if (!soak_link::websocket(k) || reply_like(answer)) return false;
  return said == late_kind(k) || relayed_raw(answer);
}

bool soak_world::open_link(soak_link& l, soak_link::kind k, std::string* why) {
  for (int attempt = 1;; ++attempt) {
    size_t from = console_size();
    if (l.open(port, k, why)) return true;
    if (!late(this, l, from, why)) return false;
    if (attempt == TRIES) {
      *why = "judged late " + std::to_string(TRIES) + " times in a row, last " + *why;
      return false;
    }
    late_setups += 1;
    count(std::string("set-up judged late, tried again: ") + soak_link::name(k));
  }
}
