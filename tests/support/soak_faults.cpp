// The faulty clients of the soak. Everything they send that the relay might
// pass on is below 0x80, apart from the healthy records' bytes; every one of
// them is gone within a few seconds, so that a client that stops reading
// holds the relay's senders up only for a while.
#include <sys/socket.h>

#include <chrono>
#include <thread>

#include "support/client.h"
#include "support/soak_clients.h"
#include "support/tls_client.h"

namespace {

constexpr int CLOSE_WAIT_MS = 5000;   // the relay's time-outs are 500 ms each

int pick(std::mt19937& rng, int from, int to) { return from + int(rng() % uint32_t(to - from + 1)); }

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string junk(std::mt19937& rng, size_t n) {
  std::string s(n, '\0');
  for (char& c : s) c = char(rng() % 0x80);
  return s;
}

// Reads and drops for `ms`, or until the relay closes; true when it closed.
bool drain(relay_client& c, int ms) {
  uint64_t end = now_us() + uint64_t(ms) * 1000;
  while (now_us() < end && !c.peer_closed) c.read(1 << 16, 10);
  return c.peer_closed;
}

bool drain(soak_link& l, int ms) {
  uint64_t end = now_us() + uint64_t(ms) * 1000;
  std::string ignored;
  while (now_us() < end && l.pump(&ignored, 10)) ignored.clear();
  return l.closed;
}

void leave(relay_client& c, std::mt19937& rng) {
  if (rng() % 2 == 0)
    c.reset();
  else
    c.close();
}

const std::string& hello_bytes() {
  static const std::string hello = client_hello_bytes();
  return hello;
}

struct faulty {
  soak_world* world;
  std::mt19937 rng;

  void note(const std::string& what) { world->count(what); }
  bool open(soak_link& l, soak_link::kind k, const std::string& what) {
    std::string why;
    if (world->open_link(l, k, &why)) return true;
    world->fault(what + ": set-up failed: " + why);
    return false;
  }
  soak_link::kind any_websocket() {
    static const soak_link::kind kinds[] = {soak_link::ws, soak_link::wss, soak_link::hixie,
                                            soak_link::hixie_tls};
    return kinds[rng() % 4];
  }

  void vanish();
  void garbage();
  void stall();
  void reset_mid_frame();
  void bad_frame();
  void bad_handshake();
  void silent();
  void tls_garbage();
  void run_one();
};

// Connects and is gone at once, or after a byte or two.
void faulty::vanish() {
  relay_client c;
  bool hello = rng() % 2 == 0;
  if (!c.connect(world->port, 0, 0, hello)) return;
  if (rng() % 3 == 0) c.send_all(junk(rng, size_t(pick(rng, 1, 5))), 100);
  note(hello ? "vanish after a byte" : "vanish at once");
  leave(c, rng);
}

// Raw bytes of no meaning for a while, read and dropped.
void faulty::garbage() {
  relay_client c;
  if (!c.connect(world->port)) return;
  uint64_t end = now_us() + uint64_t(pick(rng, 100, 800)) * 1000;
  while (now_us() < end && !c.peer_closed) {
    std::string g = junk(rng, size_t(pick(rng, 1, 512)));
    if (c.send_now(g.data(), g.size()) < 0) break;
    c.read(1 << 16, pick(rng, 1, 10));
  }
  note("garbage");
  if (rng() % 2 == 0) {
    c.reset();
  } else {
    c.close_in_order(CLOSE_WAIT_MS);
  }
}

// Stops reading with a small receive buffer; the relay's writers to it
// block, and with them every sender that relays to it, until it leaves.
void faulty::stall() {
  relay_client c;
  if (!c.connect(world->port, 2048)) return;
  uint64_t end = now_us() + uint64_t(pick(rng, 100, 800)) * 1000;
  while (now_us() < end) {
    if (rng() % 4 == 0) c.send_now(junk(rng, 64).data(), 64);
    sleep_ms(20);
  }
  note("stop reading");
  if (rng() % 4 == 0)
    c.close();   // with unread data: a reset too
  else
    c.reset();
}

// Good frames, then part of one, then a reset.
void faulty::reset_mid_frame() {
  soak_link l;
  soak_link::kind k = any_websocket();
  if (!open(l, k, "reset mid-frame")) return;
  int good = pick(rng, 0, 3);
  for (int i = 0; i < good; ++i) l.queue(l.frame(junk(rng, size_t(pick(rng, 1, 200))), rng));
  std::string part = l.frame(junk(rng, 300), rng);
  l.queue(part.substr(0, size_t(pick(rng, 1, int(part.size()) - 2))));
  drain(l, pick(rng, 5, 100));
  note(std::string("reset mid-frame ") + soak_link::name(k));
  l.w.tcp.reset();
}

// A frame the relay refuses: it must end the connection, and soon.
void faulty::bad_frame() {
  struct bad { const char* what; std::string bytes; };
  const bad rfc[] = {
      {"RSV1", masked_frame(0xC1, "rsv", rng())},
      {"RSV3", masked_frame(0x92, "rsv", rng())},
      {"reserved opcode", masked_frame(0x83, "op", rng())},
      {"ping", masked_frame(0x89, "ping", rng())},
      {"pong", masked_frame(0x8A, "", rng())},
      {"stray continuation", masked_frame(0x80, "cont", rng())},
      {"empty frame", masked_frame(0x81, "", rng())},
      {"close without FIN", masked_frame(0x08, "", rng())},
      {"frame larger than the buffer", masked_frame(0x82, junk(rng, 6000), rng())},
      // Refused on its length: the rest is read and dropped.
      {"64-bit length with its top bit",
       std::string("\x82\xFF\x80\0\0\0\0\0\0\x01", 10) + junk(rng, 5000)},
  };
  const bad hixie[] = {
      {"length-prefixed hixie-76 frame", std::string("\x80\x05hello", 7)},
      {"hixie-76 message without its 0x00", "hello\xFF"},
      {"hixie-76 close", std::string("\0\xFF", 2)},
      {"hixie-76 message larger than the buffer", std::string(1, '\0') + junk(rng, 5000)},
  };
  soak_link l;
  soak_link::kind k = any_websocket();
  if (!open(l, k, "bad frame")) return;
  bool is_hixie = k == soak_link::hixie || k == soak_link::hixie_tls;
  const bad& b = is_hixie ? hixie[rng() % 4] : rfc[rng() % 10];
  if (rng() % 2 == 0) l.queue(l.frame(junk(rng, size_t(pick(rng, 1, 100))), rng));
  l.queue(b.bytes);
  std::string what = std::string("bad frame: ") + b.what + " over " + soak_link::name(k);
  if (!drain(l, CLOSE_WAIT_MS)) world->fault(what + ": the relay kept the connection");
  note(what);
}

void faulty::silent() {
  relay_client c;
  if (!c.connect(world->port, 0, 0, false)) return;
  // Two set-up time-outs of 500 ms, then it is a raw client.
  drain(c, pick(rng, 1100, 1500));
  note("silent");
  leave(c, rng);
}

// Bytes that are no TLS record after a finished TLS handshake. They break
// the session, so the relay never has them as data; were it to relay them
// as a TLS client's first data, they are below 0x80 like all faulty bytes.
void faulty::tls_garbage() {
  wire w;
  if (!w.connect(world->port, wire::tls)) {
    world->fault("TLS garbage: TLS handshake failed");
    return;
  }
  world->add_tls_garbage(w.tcp.local_port);
  std::string g = junk(rng, size_t(pick(rng, 8, 200)));
  ::send(w.tcp.fd, g.data(), g.size(), MSG_NOSIGNAL);
  if (!w.wait_closed(CLOSE_WAIT_MS)) world->fault("TLS garbage: the relay kept the connection");
  note("TLS garbage");
}

void faulty::run_one() {
  switch (rng() % 20) {
    case 0: case 1: case 2: vanish(); break;
    case 3: case 4: case 5: case 6: garbage(); break;
    case 7: stall(); break;
    case 8: case 9: case 10: reset_mid_frame(); break;
    case 11: case 12: case 13: bad_frame(); break;
    case 14: case 15: case 16: case 17: bad_handshake(); break;
    case 18: silent(); break;
    default: tls_garbage(); break;
  }
}

}  // namespace

void run_faulty_worker(soak_world* world, uint32_t seed) {
  faulty f{world, std::mt19937(seed)};
  while (now_us() < world->deadline_us && !world->failed()) f.run_one();
}

// Requests the relay must turn down, and requests that are cut off.
void faulty::bad_handshake() {
  relay_client c;
  if (!c.connect(world->port, 0, 0, false)) return;
  int variant = pick(rng, 0, 6);
  static const char* const names[] = {
      "GET without a key",  "hixie-76 key without a space", "request, then a reset",
      "request in two parts", "ClientHello, then gone",     "ClientHello cut short",
      "GET and a long line"};
  std::string request;
  switch (variant) {
    case 0: request = "GET / HTTP/1.1\r\nHost: soak\r\n\r\n"; break;
    case 1: {
      request = hixie76_request();
      size_t at = request.find("4 @1  46546xW%0l 1 5");
      request.replace(at, 20, "4@146546xW%0l15");
    } break;
    case 2: case 3: request = rfc6455_request(); break;
    case 4: request = hello_bytes(); break;
    case 5: request = hello_bytes().substr(0, size_t(pick(rng, 6, 40))); break;
    default: request = "GET " + junk(rng, 3000); break;
  }
  note(std::string("bad handshake: ") + names[variant]);
  if (variant == 3) {
    size_t cut = size_t(pick(rng, 5, int(request.size()) - 5));
    c.send_all(request.substr(0, cut), 1000);
    sleep_ms(pick(rng, 1, 50));
    request.erase(0, cut);
  }
  c.send_all(request, 1000);
  if (variant == 2 || variant == 4) {
    c.reset();
  } else if (variant == 5) {
    if (!c.wait_closed(CLOSE_WAIT_MS))
      world->fault("bad handshake: a cut ClientHello was not given up");
  } else if (variant == 3) {
    // Whole in the relay's one read it is a WebSocket client: anything sent
    // now would be taken for frames.
    drain(c, pick(rng, 10, 200));
    leave(c, rng);
  } else {
    // Turned down: the rest of the connection is relayed raw.
    for (int i = 0; i < 3 && !c.peer_closed; ++i) {
      c.send_now(junk(rng, 40).data(), 40);
      c.read(1 << 16, pick(rng, 10, 100));
    }
    leave(c, rng);
  }
}
