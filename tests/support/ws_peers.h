// Hand-written clients of a running relay, over plain TCP or TLS: an RFC 6455
// client that writes its frames byte by byte (so a test decides how they are
// cut into TCP segments), and a hixie-76 client. Every read has a time limit.
//
//   wire w;
//   ASSERT_TRUE(w.connect(relay.port, wire::plain));
//   ASSERT_TRUE(rfc6455_open(w));
//   ASSERT_TRUE(w.send(ws_frame(0x81, "hello")));
//   ws_in in;
//   ASSERT_TRUE(read_ws_frame(w, &in, 3000));
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "support/client.h"
#include "support/tls_client.h"

// One connection to the relay: a TCP socket, with TLS on it when asked for.
struct wire {
  enum mode { plain, tls };
  relay_client tcp;
  std::unique_ptr<tls_client> secure;   // set for a TLS wire

  // Connects without the raw client's hello byte; for TLS also handshakes,
  // offering the versions from min_version to max_version (0: no maximum).
  // A receive buffer size of 0 keeps the system's.
  bool connect(uint16_t port, mode m, int min_version = 0, int max_version = 0, int rcvbuf = 0);
  bool send(const std::string& bytes, int ms = 3000);
  // Reads until `n` bytes have come, the relay closes, or `ms` pass.
  std::string read(size_t n, int ms);
  // True when the relay ends the connection within `ms` (data is dropped).
  bool wait_closed(int ms);
};

// RFC 6455 frame as a client writes it: `first` is the first byte (FIN, RSV,
// opcode); the payload is masked with a fixed key unless `masked` is false.
// `length_form` forces the length code: 0 the shortest, else 126 or 127.
std::string ws_frame(uint8_t first, const std::string& payload, bool masked = true,
                     int length_form = 0);

struct ws_in {
  uint8_t first = 0;       // FIN, RSV and opcode as received
  std::string payload;
  int opcode() const { return first & 0x0F; }
};

// Reads one whole frame; false when none came within `ms` or it was cut off.
bool read_ws_frame(wire& w, ws_in* frame, int ms);

// The RFC 6455 request with the standard's example key, and the exact reply
// the relay gives to it.
std::string rfc6455_request();
std::string rfc6455_reply();
// Sends the request and reads the reply through its empty line; true when
// the reply is exactly rfc6455_reply().
bool rfc6455_open(wire& w, std::string* reply = nullptr);

// The hixie-76 request of the draft's own example (keys, Origin, Host and the
// 8 key bytes), and the exact reply expected: headers and 16-byte digest,
// with the location of a ws:// or, over TLS, a wss:// URL.
std::string hixie76_request();
std::string hixie76_reply(bool tls = false);
bool hixie76_open(wire& w, std::string* reply = nullptr);
// 0x00, the payload, 0xFF.
std::string hixie76_message(const std::string& payload);
// Reads one message and returns its payload; false when none came whole.
bool read_hixie76_message(wire& w, std::string* payload, int ms);

// The UTF-8 check a text frame must pass; used to tell what the relay sent.
bool valid_utf8(const std::string& s);
