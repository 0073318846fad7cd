// One connection of the soak to the relay, of any kind the relay serves,
// driven without blocking so that one thread can send and receive at once
// (a client that only sends would hold the relay's senders up).
//
//   soak_link l;
//   std::string why;
//   if (!l.open(port, soak_link::wss, &why)) ...
//   l.queue(l.frame(payload, rng));
//   l.pump(&got, 5);   // writes what it can, reads what came
#pragma once
#include <cstdint>
#include <random>
#include <string>

#include "support/ws_peers.h"

struct soak_link {
  enum kind { raw, tls, ws, wss, hixie, hixie_tls };
  static const char* name(kind k);
  static bool websocket(kind k) { return k == ws || k == wss || k == hixie || k == hixie_tls; }
  static bool secure(kind k) { return k == tls || k == wss || k == hixie_tls; }

  kind k = raw;
  wire w;
  std::string out;          // queued, not yet taken by the socket
  size_t out_at = 0;
  bool write_shut = false;  // our FIN (and close frame or close_notify) has gone
  bool closed = false;      // the relay ended the connection
  std::string fault;        // a framing fault in what the relay sent
  // When open() failed at the WebSocket request (connect and TLS were
  // done): true, with what the relay sent in place of the reply.
  bool asked = false;
  std::string answer;
  // The next `holds` requests wait `hold_ms` first: a client that the
  // machine holds up, for the tests of the retry.
  int holds = 0;
  int hold_ms = 0;

  // Connects and completes the TLS and WebSocket handshakes of its kind. A
  // connection of an earlier call is reset first.
  bool open(uint16_t port, kind kind_wanted, std::string* why);
  // The payload as this kind sends it: a masked RFC 6455 frame (at times in
  // two fragments), a hixie-76 message, or the bytes themselves.
  std::string frame(const std::string& payload, std::mt19937& rng) const;
  void queue(const std::string& bytes) { out += bytes; }
  bool idle() const { return out_at == out.size(); }
  // Waits at most `ms` for the socket, writes what it takes, and appends to
  // *payload the payload bytes that came. False once the connection is
  // closed or broken.
  bool pump(std::string* payload, int ms);
  // Ends the sending side in the orderly way of the kind, then sends FIN;
  // what comes meanwhile is appended to *payload.
  void shut_write(std::mt19937& rng, std::string* payload);

 private:
  std::string in;   // received WebSocket bytes not yet framed
  bool close_sent = false;
  bool connect(uint16_t port, std::string* why);
  bool request(std::string* why);
  long write_some();
  bool read_some(std::string* payload);
  void unframe(std::string* payload);
  bool unframe_rfc6455(std::string* payload);
  bool unframe_hixie76(std::string* payload);
};

// Masks `payload` with `key` as a client must (RFC 6455).
std::string masked_frame(uint8_t first, const std::string& payload, uint32_t key);
