#include "support/peer_set.h"

#include <chrono>
#include <regex>
#include <thread>

std::string shown(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (char c : bytes) {
    uint8_t b = uint8_t(c);
    if (b >= 0x20 && b < 0x7F && b != '\\') {
      s += c;
    } else {
      s += "\\x";
      s += digits[b >> 4];
      s += digits[b & 15];
    }
  }
  return s;
}

bool raw_peer::connect(uint16_t port) { return c.connect(port); }

bool raw_peer::send(const std::string& payload, bool) { return c.send_all(payload, 3000); }

std::string raw_peer::expect(const std::string& payload, bool, int ms) {
  std::string got;
  uint64_t end = now_us() + uint64_t(ms) * 1000;
  while (without_control(got).size() < payload.size() && now_us() < end && !c.peer_closed)
    got += c.read(1 << 16, 20);
  got = without_control(got);
  return got == payload ? "" : "bytes \"" + shown(got) + "\"";
}

bool raw_peer::quiet(int ms) { return without_control(c.read(1 << 16, ms)).empty(); }

bool wire_peer::connect(uint16_t port, wire::mode m, protocol p) {
  proto = p;
  if (!w.connect(port, m)) return false;
  if (p == rfc6455) return rfc6455_open(w);
  if (p == hixie76) return hixie76_open(w);
  return true;
}

bool wire_peer::send(const std::string& payload, bool text) {
  if (proto == rfc6455) return w.send(ws_frame(text ? 0x81 : 0x82, payload));
  if (proto == hixie76) return w.send(hixie76_message(payload));
  return w.send(payload);
}

std::string wire_peer::expect(const std::string& payload, bool text, int ms) {
  if (proto == bytes) {
    std::string got = w.read(payload.size(), ms);
    return got == payload ? "" : "bytes \"" + shown(got) + "\"";
  }
  if (proto == hixie76) {
    std::string got;
    if (!read_hixie76_message(w, &got, ms)) return "no hixie-76 message";
    return got == payload ? "" : "message \"" + shown(got) + "\"";
  }
  ws_in f;
  if (!read_ws_frame(w, &f, ms)) return "no frame";
  if (f.first == (text ? 0x81 : 0x82) && f.payload == payload) return "";
  return "frame first byte " + std::to_string(f.first) + " payload \"" + shown(f.payload) + "\"";
}

bool wire_peer::quiet(int ms) { return w.read(1, ms).empty(); }

bool python_ws_peer::start(const std::string& script, const std::string& url,
                           const std::string& dir) {
  return p.start(script, url, dir) && p.wait_open(20000);
}

bool python_ws_peer::send(const std::string& payload, bool text) {
  return text ? p.send_text(payload) : p.send_binary(payload);
}

std::string python_ws_peer::expect(const std::string& payload, bool text, int ms) {
  if (!p.wait_messages(seen + 1, ms)) {
    return "no message; its output: " + p.proc.out + p.proc.err;
  }
  python_peer::message m = p.messages()[seen++];
  if (m.text == text && m.data == payload) return "";
  return std::string(m.text ? "text" : "binary") + " \"" + shown(m.data) + "\"";
}

bool python_ws_peer::quiet(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  return p.messages().size() == seen;
}

raw_peer* relay_peers::add_raw(const std::string& name) {
  auto p = std::make_unique<raw_peer>();
  p->name = name;
  if (!p->connect(relay.port)) {
    ADD_FAILURE() << name << " cannot connect";
    return nullptr;
  }
  return settle(std::move(p));
}

wire_peer* relay_peers::add_wire(const std::string& name, wire::mode m,
                                 wire_peer::protocol proto) {
  auto p = std::make_unique<wire_peer>();
  p->name = name;
  if (!p->connect(relay.port, m, proto)) {
    ADD_FAILURE() << name << " cannot connect or handshake:\n" << relay.out();
    return nullptr;
  }
  return settle(std::move(p));
}

python_ws_peer* relay_peers::add_python(const std::string& name, const std::string& scheme) {
  auto p = std::make_unique<python_ws_peer>();
  p->name = name;
  if (!p->start(python_script, url(scheme), relay.dir.path)) {
    ADD_FAILURE() << name << ": " << p->p.proc.out << p->p.proc.err;
    return nullptr;
  }
  return settle(std::move(p));
}

bool relay_peers::settle_peer(std::unique_ptr<peer> p) {
  if (!wait_kinds("", ++lines, 10000)) {
    ADD_FAILURE() << p->name << " not set up:\n" << relay.out();
    return false;
  }
  // The kind is printed a moment before the slot takes relayed data.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  peers.push_back(std::move(p));
  return true;
}

bool relay_peers::wait_ends(size_t count, int ms) {
  return relay.wait_matches(std::regex(":: server_\\d\\d\\.fin  active \\d\\d/\\d\\d\n"), count, ms);
}

void relay_peers::everyone_gets(peer* from, const std::string& payload, bool sent_as_text,
                                bool arrives_as_text) {
  SCOPED_TRACE(from->name + " sends \"" + shown(payload) + "\"");
  ASSERT_TRUE(from->send(payload, sent_as_text));
  for (auto& to : peers) {
    if (to.get() == from) continue;
    EXPECT_EQ(to->expect(payload, arrives_as_text, 5000), "") << "at " << to->name;
  }
  EXPECT_TRUE(from->quiet(50)) << from->name << " got its own message back";
}
