// The load tool's connections: plain or TLS, optionally WebSocket-framed,
// to the relay (client side) or straight between the tool's own senders and
// receivers (the direct floor, where the sending end plays the relay's part).
#pragma once
#include <openssl/ssl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace load {

enum class kind { raw, tls, ws, wss };

bool parse_kind(const std::string& text, kind* out);
const char* kind_name(kind k);
inline bool is_tls(kind k) { return k == kind::tls || k == kind::wss; }
inline bool is_ws(kind k) { return k == kind::ws || k == kind::wss; }

struct conn {
  int fd = -1;
  SSL* ssl = nullptr;
  kind k = kind::raw;
  bool client = true;   // a WebSocket client masks what it sends
  uint32_t mask = 0;
};

// Connects to the relay and sets the connection up: TLS handshake,
// WebSocket handshake (checked), or for raw and TLS a hello byte that lets
// the relay finish its look at the first bytes at once. False with a
// message in *error.
bool connect_relay(conn* c, const char* host, int port, kind k, std::string* error);

// Two ends of one loopback connection for the direct floor: *sender plays
// the relay's side (TLS server, unmasked frames), *receiver the client's.
bool direct_pair(kind k, conn* sender, conn* receiver, std::string* error);

void close_conn(conn* c);
void shutdown_conn(const conn* c);   // wakes a thread blocked on it

// Blocking read of what is there, up to n bytes; 0 at the end, -1 on error.
long read_some(conn* c, uint8_t* buf, size_t n);

// Writes all n bytes. With drain set, the socket is non-blocking and
// whatever arrives while the write is held up is read and dropped, so two
// senders that the relay feeds to each other cannot block each other.
bool write_all(conn* c, const uint8_t* data, size_t n, bool drain);
void set_nonblocking(const conn* c);
// Reads and drops whatever has arrived on a non-blocking connection; false
// when it has ended.
bool drain_available(conn* c);
// Keeps draining until *done is set or the connection ends.
void drain_until(conn* c, const std::atomic<bool>* done);
// While set, a write that is held up fails instead of waiting.
void abort_writes(bool on);

// Writes a WebSocket header for a binary frame of n payload bytes at out
// (masked when the connection is a client) and returns its length (<= 14).
size_t ws_header(const conn* c, uint8_t* out, uint64_t n);
// Masks a payload that starts right behind its header.
void ws_mask(const conn* c, uint8_t* payload, size_t n);

}  // namespace load
