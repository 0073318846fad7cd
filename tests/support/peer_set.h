// Clients of every kind behind one interface, so that a test can have each of
// them send a message and check that every other one got it, in the form its
// protocol gives: raw and TLS clients the bytes, hixie-76 clients a message,
// RFC 6455 clients a text or binary frame (the hand-written client and the
// python one).
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "support/client.h"
#include "support/python_peer.h"
#include "support/relay_session.h"
#include "support/ws_peers.h"

struct peer {
  std::string name;
  virtual ~peer() = default;
  // Sends one message; `text` picks the frame type where there is one.
  virtual bool send(const std::string& payload, bool text) = 0;
  // Takes the next message; empty when it is `payload`, and for an RFC 6455
  // client also of the type `text` asks for; else what came instead.
  virtual std::string expect(const std::string& payload, bool text, int ms) = 0;
  // True when nothing at all arrives within `ms`.
  virtual bool quiet(int ms) = 0;
};

// A raw client; its hello byte and others' hello and sync bytes are dropped
// from what it receives.
struct raw_peer : peer {
  relay_client c;
  bool connect(uint16_t port);
  bool send(const std::string& payload, bool text) override;
  std::string expect(const std::string& payload, bool text, int ms) override;
  bool quiet(int ms) override;
};

// TLS without WebSocket, or either WebSocket protocol over TCP or TLS.
struct wire_peer : peer {
  enum protocol { bytes, rfc6455, hixie76 };
  protocol proto = bytes;
  wire w;
  bool connect(uint16_t port, wire::mode m, protocol p);
  bool send(const std::string& payload, bool text) override;
  std::string expect(const std::string& payload, bool text, int ms) override;
  bool quiet(int ms) override;
};

struct python_ws_peer : peer {
  python_peer p;
  size_t seen = 0;   // messages already taken
  bool start(const std::string& script, const std::string& url, const std::string& dir);
  bool send(const std::string& payload, bool text) override;
  std::string expect(const std::string& payload, bool text, int ms) override;
  bool quiet(int ms) override;
};

// A running relay with clients of every kind. Clients are connected one
// after the other, each once the one before shows its kind: a connection
// that comes or goes during another's set-up leaves that one's line without
// its kind.
struct relay_peers : relay_session {
  std::string python_script;   // tests/clients/ws_peer.py, set by the test
  std::vector<std::unique_ptr<peer>> peers;
  size_t lines = 0;            // connection lines with a kind so far

  raw_peer* add_raw(const std::string& name);
  wire_peer* add_wire(const std::string& name, wire::mode m, wire_peer::protocol proto);
  python_ws_peer* add_python(const std::string& name, const std::string& scheme);
  // Waits for the next line with a kind and keeps the client; NULL (and a
  // test failure) when it does not come.
  template <class P> P* settle(std::unique_ptr<P> p) {
    P* kept = p.get();
    return settle_peer(std::move(p)) ? kept : nullptr;
  }
  bool settle_peer(std::unique_ptr<peer> p);
  // Waits until `count` connections have ended in all.
  bool wait_ends(size_t count, int ms);

  // `from` sends; every other client must get the message, an RFC 6455
  // client as a text frame when `arrives_as_text`, else as a binary one;
  // the sender gets nothing back.
  void everyone_gets(peer* from, const std::string& payload, bool sent_as_text,
                     bool arrives_as_text);
};

// Printable form of bytes for failure messages.
std::string shown(const std::string& bytes);
