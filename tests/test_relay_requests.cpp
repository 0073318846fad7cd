// WebSocket requests as real networks and clients deliver them, through the
// running relay: in several pieces, longer than the receive buffer, with
// header names in any case (Node's built-in client writes them in lower
// case). A request is answered once it is whole, and no byte of it ever
// reaches the other clients.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/peer_set.h"
#include "support/relay_session.h"
#include "support/ws_peers.h"

namespace {

const std::string key_line = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";

struct RelayRequests : relay_peers {
  raw_peer* raw = nullptr;

  void start_with(const std::vector<std::string>& options) {
    ASSERT_TRUE(start(WSRELAY_BIN, options));
    raw = add_raw("raw");
    ASSERT_TRUE(raw);
  }

  // Connects and sends the pieces `gap_ms` apart, as one client would.
  void send_pieces(wire& w, const std::vector<std::string>& pieces, int gap_ms,
                   wire::mode m = wire::plain) {
    ASSERT_TRUE(w.connect(relay.port, m));
    for (size_t i = 0; i < pieces.size(); ++i) {
      if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gap_ms));
      ASSERT_TRUE(w.send(pieces[i]));
    }
  }

  // The client now speaks RFC 6455: a frame from it reaches the raw client,
  // and the raw client's data reaches it as a frame.
  void expect_frames_relay(wire& w, const std::string& what) {
    ASSERT_TRUE(w.send(ws_frame(0x81, "frame from " + what)));
    EXPECT_EQ(raw->expect("frame from " + what, true, 5000), "");
    ASSERT_TRUE(raw->send("to " + what, true));
    ws_in f;
    ASSERT_TRUE(read_ws_frame(w, &f, 5000));
    EXPECT_EQ(f.payload, "to " + what);
  }
};

std::string reply_head(wire& w) {
  std::string head;
  while (head.find("\r\n\r\n") == std::string::npos) {
    std::string b = w.read(1, 3000);
    if (b.empty()) break;
    head += b;
  }
  return head;
}

TEST_F(RelayRequests, ARequestInPiecesIsAnsweredAndThenRelaysFrames) {
  start_with({"-c", "6"});
  struct piece_case {
    const char* what;
    std::vector<std::string> pieces;
    std::string reply;
  };
  const std::string head = "GET /chat HTTP/1.1\r\nHost: localhost\r\n";
  const piece_case cases[] = {
      {"the key 100 ms behind the request line", {head, key_line + "\r\n"}, rfc6455_reply()},
      {"header names in lower case",
       {"GET / HTTP/1.1\r\nhost: localhost\r\nupgrade: websocket\r\nconnection: upgrade\r\n"
        "sec-websocket-key: dGhlIHNhbXBsZSBub25jZQ==\r\nsec-websocket-version: 13\r\n"
        "sec-websocket-extensions: permessage-deflate; client_max_window_bits\r\n\r\n"},
       rfc6455_reply()},
      {"Sec-Websocket-Key", {head + "Sec-Websocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n"}, rfc6455_reply()},
      {"SEC-WEBSOCKET-KEY", {head + "SEC-WEBSOCKET-KEY: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n"}, rfc6455_reply()},
  };
  size_t n = 0;
  for (const piece_case& c : cases) {
    SCOPED_TRACE(c.what);
    wire w;
    send_pieces(w, c.pieces, 100);
    EXPECT_EQ(reply_head(w), c.reply);
    ASSERT_TRUE(wait_kinds("WS", ++n, 5000)) << relay.out();
    EXPECT_TRUE(raw->quiet(50)) << "a part of the request was relayed";
    expect_frames_relay(w, c.what);
    w.tcp.close();
    ASSERT_TRUE(wait_ends(n, 5000)) << relay.out();
  }
  EXPECT_EQ(relay.out().find("Invalid or unsupported"), std::string::npos) << relay.out();
}

TEST_F(RelayRequests, Hixie76KeyBytesLateOrInLowerCaseGetTheClientsOwnDigest) {
  start_with({"-c", "6"});
  std::string lower = hixie76_request();
  for (const char* name : {"Host:", "Origin:", "Sec-WebSocket-Key1:", "Sec-WebSocket-Key2:"}) {
    size_t at = lower.find(name);
    for (size_t i = at; lower[i] != ':'; ++i) lower[i] = char(tolower(lower[i]));
  }
  const std::string full = hixie76_request();
  struct hixie_case {
    const char* what;
    std::vector<std::string> pieces;
  };
  const hixie_case cases[] = {
      {"8 key bytes 100 ms behind the headers", {full.substr(0, full.size() - 8), full.substr(full.size() - 8)}},
      {"header names in lower case", {lower}},
  };
  size_t n = 0;
  for (const hixie_case& c : cases) {
    SCOPED_TRACE(c.what);
    wire w;
    send_pieces(w, c.pieces, 100);
    const std::string reply = hixie76_reply();
    EXPECT_EQ(w.read(reply.size(), 3000), reply);
    ASSERT_TRUE(wait_kinds("WS", ++n, 5000)) << relay.out();
    ASSERT_TRUE(w.send(hixie76_message(std::string("from ") + c.what)));
    EXPECT_EQ(raw->expect(std::string("from ") + c.what, true, 5000), "");
    w.tcp.close();
    ASSERT_TRUE(wait_ends(n, 5000)) << relay.out();
  }
}

// A browser's large Cookie header, written in pieces as a network cuts it.
TEST_F(RelayRequests, ARequestLargerThanTheBufferIsNeverRelayed) {
  start_with({"-c", "6"});
  const std::string cookie = "Cookie: session=" + std::string(6000, 'c') + "\r\n";
  auto cut = [](const std::string& s) {
    std::vector<std::string> pieces;
    for (size_t at = 0; at < s.size(); at += 1448) pieces.push_back(s.substr(at, 1448));
    return pieces;
  };
  {
    SCOPED_TRACE("cookie before the key: refused, then raw");
    wire w;
    send_pieces(w, cut("GET / HTTP/1.1\r\nHost: localhost\r\n" + cookie + key_line + "\r\n"), 2);
    ASSERT_TRUE(wait_kinds("RAW", 2, 5000)) << relay.out();
    EXPECT_NE(relay.out().find("\n\tInvalid or unsupported WebSocket handshake from the client!\n"),
              std::string::npos) << relay.out();
    EXPECT_TRUE(raw->quiet(200)) << "a part of the request was relayed";
    EXPECT_EQ(w.read(1 << 16, 50), "") << "the relay answered";
    ASSERT_TRUE(w.send("now raw"));
    EXPECT_EQ(raw->expect("now raw", false, 5000), "");
    w.tcp.close();
    ASSERT_TRUE(wait_ends(1, 5000)) << relay.out();
  }
  {
    SCOPED_TRACE("cookie behind the key: answered");
    wire w;
    send_pieces(w, cut("GET / HTTP/1.1\r\nHost: localhost\r\n" + key_line + cookie + "\r\n"), 2);
    EXPECT_EQ(reply_head(w), rfc6455_reply());
    ASSERT_TRUE(wait_kinds("WS", 1, 5000)) << relay.out();
    EXPECT_TRUE(raw->quiet(100)) << "a part of the request was relayed";
    expect_frames_relay(w, "the client with the cookie");
  }
}

// Requests of L - 1, L and L + 1 bytes, where one read takes L - 1.
struct RelayRequestSizes : RelayRequests, ::testing::WithParamInterface<int> {};

TEST_P(RelayRequestSizes, RequestsAroundTheReadSizeAreAnswered) {
  const int L = GetParam();
  start_with({"-c", "6", "-L", std::to_string(L)});
  size_t n = 0;
  for (int extra : {-1, 0, 1}) {
    const size_t total = size_t(L + extra);
    SCOPED_TRACE("request of " + std::to_string(total) + " bytes");
    std::string head = "GET / HTTP/1.1\r\n" + key_line + "X-Pad: ";
    std::string request = head + std::string(total - head.size() - 4, 'p') + "\r\n\r\n";
    wire w;
    send_pieces(w, {request}, 0);
    EXPECT_EQ(reply_head(w), rfc6455_reply());
    ASSERT_TRUE(wait_kinds("WS", ++n, 5000)) << relay.out();
    EXPECT_TRUE(raw->quiet(50)) << "a part of the request was relayed";
    expect_frames_relay(w, std::to_string(total) + " bytes");
    // Gone before the next one starts, so that its line gets its kind.
    w.tcp.close();
    ASSERT_TRUE(wait_ends(n, 5000)) << relay.out();
  }
}

INSTANTIATE_TEST_SUITE_P(PacketLengths, RelayRequestSizes, ::testing::Values(256, 4096));

// Reads a reply through its empty line, and a hixie-76 one's 16 digest bytes.
std::string whole_reply(wire& w) {
  std::string head = reply_head(w);
  if (head.find("WebSocket Protocol Handshake") != std::string::npos) head += w.read(16, 3000);
  return head;
}

const std::string draft_keys =
    "Sec-WebSocket-Key1: 4 @1  46546xW%0l 1 5\r\nSec-WebSocket-Key2: 12998 5 Y3 1  .P00\r\n";
const std::string draft_digest = "8jKS'y:G*Co,Wxa-";

std::string hixie76_reply_for(const std::string& origin, const std::string& location,
                              const std::string& protocol) {
  return "HTTP/1.1 101 WebSocket Protocol Handshake\r\nUpgrade: WebSocket\r\n"
         "Connection: Upgrade\r\nSec-WebSocket-Origin: " + origin +
         "\r\nSec-WebSocket-Location: " + location + "\r\nSec-WebSocket-Protocol: " + protocol +
         "\r\n\r\n" + draft_digest;
}

// Each case over plain TCP and over TLS.
struct RelayRequestsOver : RelayRequests, ::testing::WithParamInterface<wire::mode> {
  bool tls() const { return GetParam() == wire::tls; }
  std::string scheme() const { return tls() ? "wss://" : "ws://"; }
  const char* kind() const { return tls() ? "WSS" : "WS"; }
  void SetUp() override {
    if (tls()) {
      ASSERT_TRUE(add_certificate());
    }
  }
};

// A header name inside a value, inside another name or in the request line
// is no header; a hixie-76 reply names the client's own URL and protocol.
TEST_P(RelayRequestsOver, RepliesNameWhatTheClientSent) {
  start_with({"-c", "6"});
  const std::string host = "127.0.0.1:" + std::to_string(relay.port);
  const std::string lines = "Host: " + host + "\r\nOrigin: o\r\n";
  struct reply_case {
    const char* what;
    std::string request;
    std::string reply;
    bool hixie;
  };
  const reply_case cases[] = {
      {"Origin naming localhost before Host",
       "GET / HTTP/1.1\r\nOrigin: http://localhost:8080\r\nHost: " + host + "\r\n" + draft_keys +
           "\r\n^n:ds[4U",
       hixie76_reply_for("http://localhost:8080", scheme() + host + "/", "dumb-increment-protocol"), true},
      {"request line naming localhost",
       "GET /demo?to=localhost:9000 HTTP/1.1\r\n" + lines + draft_keys + "\r\n^n:ds[4U",
       hixie76_reply_for("o", scheme() + host + "/demo?to=localhost:9000", "dumb-increment-protocol"), true},
      {"X-Forwarded-Host before Host, a protocol asked for",
       "GET /a/b?x=1 HTTP/1.1\r\nX-Forwarded-Host: evil\r\n" + lines +
           "Sec-WebSocket-Protocol: chat\r\n" + draft_keys + "\r\n^n:ds[4U",
       hixie76_reply_for("o", scheme() + host + "/a/b?x=1", "chat"), true},
      {"key name inside a Cookie value",
       "GET / HTTP/1.1\r\nCookie: a=sec-websocket-key: AAAAAAAAAAAAAAAAAAAAAA==\r\n" + key_line + "\r\n",
       rfc6455_reply(), false},
  };
  size_t n = 0;
  for (const reply_case& c : cases) {
    SCOPED_TRACE(c.what);
    wire w;
    send_pieces(w, {c.request}, 0, GetParam());
    EXPECT_EQ(shown(whole_reply(w)), shown(c.reply));
    ASSERT_TRUE(wait_kinds(kind(), ++n, 5000)) << relay.out();
    EXPECT_TRUE(raw->quiet(50)) << "a part of the request was relayed";
    if (c.hixie) {
      ASSERT_TRUE(w.send(hixie76_message(std::string("from ") + c.what)));
      EXPECT_EQ(raw->expect(std::string("from ") + c.what, true, 5000), "");
    } else {
      expect_frames_relay(w, c.what);
    }
    w.tcp.close();
    ASSERT_TRUE(wait_ends(n, 5000)) << relay.out();
  }
}

// hixie-76 requests that do not fit a buffer of L = 1024: the 8 key bytes
// behind the head are the client's own wherever the cut falls, so the
// digest is right when every header lies in the part kept, and the request
// is refused otherwise. No byte of any of them reaches the raw client.
TEST_P(RelayRequestsOver, ACutHixie76RequestGetsItsOwnDigestOrNone) {
  start_with({"-c", "6", "-L", "1024"});
  const std::string named = "Host: example.com\r\nOrigin: http://example.com\r\n";
  auto request = [](size_t size, const std::string& before, const std::string& after) {
    std::string head = "GET /demo HTTP/1.1\r\n" + before + "X-Pad: ";
    return head + std::string(size - head.size() - 4 - after.size(), 'p') + "\r\n" + after +
           "\r\n^n:ds[4U";
  };
  struct cut_case {
    const char* what;
    std::string request;
    bool answered;
  };
  const cut_case cases[] = {
      {"every header in the part kept", request(1400, draft_keys + named, ""), true},
      {"key bytes straddle the cut", request(1020, draft_keys + named, ""), true},
      {"Host and Origin past the cut", request(1400, draft_keys, named), false},
      {"no key in the part kept", request(1400, named, draft_keys), false},
  };
  const std::string answered =
      hixie76_reply_for("http://example.com", scheme() + "example.com/demo", "dumb-increment-protocol");
  size_t n = 0;
  for (const cut_case& c : cases) {
    SCOPED_TRACE(c.what);
    wire w;
    send_pieces(w, {c.request}, 0, GetParam());
    ++n;
    if (c.answered) {
      EXPECT_EQ(shown(whole_reply(w)), shown(answered));
      ASSERT_TRUE(wait_kinds(kind(), n, 5000)) << relay.out();
    } else {
      ASSERT_TRUE(wait_kinds(tls() ? "TLS" : "RAW", 1, 5000)) << relay.out();
      EXPECT_EQ(w.read(1 << 16, 50), "") << "the relay answered";
    }
    EXPECT_TRUE(raw->quiet(200)) << "a part of the request was relayed";
    w.tcp.close();
    ASSERT_TRUE(wait_ends(n, 5000)) << relay.out();
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, RelayRequestsOver, ::testing::Values(wire::plain, wire::tls),
                         [](const auto& info) { return info.param == wire::tls ? "tls" : "plain"; });

// Clients silent for almost the whole set-up (the relay first waits 500 ms
// for a TLS hello, then up to 500 ms for "GET "): one whose "GET " came
// before that ended is read and answered, although the rest of its request
// comes only after it.
TEST_F(RelayRequests, ARequestThatBeginsLateInTheWindowIsAnswered) {
  start_with({"-c", "6"});
  const int starts_ms[] = {900, 940, 960, 975};
  std::vector<std::string> replies(std::size(starts_ms));
  {
    std::vector<std::thread> clients;
    for (size_t i = 0; i < std::size(starts_ms); ++i)
      clients.emplace_back([&, i] {
        wire w;
        if (!w.connect(relay.port, wire::plain)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(starts_ms[i]));
        if (!w.send("GET / HTTP/1.1\r\nHost: localhost\r\n")) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (w.send(key_line + "\r\n")) replies[i] = reply_head(w);
      });
    for (std::thread& t : clients) t.join();
  }
  for (size_t i = 0; i < replies.size(); ++i)
    EXPECT_EQ(replies[i], rfc6455_reply()) << "GET after " << starts_ms[i] << " ms";
  EXPECT_TRUE(raw->quiet(100)) << "a part of a request was relayed";
  EXPECT_EQ(relay.out().find("Invalid or unsupported"), std::string::npos) << relay.out();
}

// Node's built-in WebSocket client, which writes every header name in lower
// case, talks with a raw client through the relay.
TEST_F(RelayRequests, NodesBuiltInClientTalksWithARawClient) {
  if (access("/usr/bin/node", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/node";
  test_process probe;
  ASSERT_TRUE(probe.start("/usr/bin/node", {"node", "--experimental-websocket", "-e",
                                            "process.exit(typeof WebSocket === 'function' ? 0 : 3)"}));
  ASSERT_TRUE(probe.wait_exit(20000));
  if (probe.exit_code != 0) GTEST_SKIP() << "this node has no built-in WebSocket client";

  start_with({"-c", "6"});
  const std::string script =
      "const ws = new WebSocket(process.argv[1]);"
      "ws.onopen = () => { console.log('open'); ws.send('from node'); };"
      "ws.onmessage = (e) => { console.log('got ' + e.data); ws.close(); };"
      "ws.onclose = () => { console.log('closed'); process.exit(0); };"
      "ws.onerror = (e) => { console.log('error ' + e.message); process.exit(2); };"
      "setTimeout(() => { console.log('timeout'); process.exit(4); }, 15000);";
  test_process node;
  ASSERT_TRUE(node.start("/usr/bin/node", {"node", "--experimental-websocket", "-e", script,
                                           "ws://127.0.0.1:" + std::to_string(relay.port) + "/"}));
  ASSERT_TRUE(node.wait_out("open\n", 15000)) << node.out << node.err << relay.out();
  EXPECT_EQ(raw->expect("from node", true, 5000), "");
  ASSERT_TRUE(wait_kinds("WS", 1, 5000)) << relay.out();
  ASSERT_TRUE(raw->send("to node", true));
  EXPECT_TRUE(node.wait_out("got to node\n", 5000)) << node.out << node.err;
  ASSERT_TRUE(node.wait_exit(10000)) << node.out << node.err;
  EXPECT_EQ(node.exit_code, 0) << node.out << node.err;
  EXPECT_NE(node.out.find("closed\n"), std::string::npos) << node.out;
}

}  // namespace
