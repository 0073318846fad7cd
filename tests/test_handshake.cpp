// The WebSocket opening handshakes: the reply builders on requests placed
// against a guard page, and the driver over a real loopback connection.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/crypt.h"
#include "platform/winsock.h"
#include "relay/globals.h"
#include "support/client.h"
#include "support/guarded_bytes.h"
#include "support/loopback_pair.h"
#include "support/fd_capture.h"
#include "websocket/ws.h"

namespace {

const std::string rfc_key = "dGhlIHNhbXBsZSBub25jZQ==";
const std::string rfc_accept = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";
const std::string rfc_reply =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: WebSocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";

std::string rfc_reply_with(const std::string& protocol) {
  return rfc_reply.substr(0, rfc_reply.size() - 2) + "Sec-WebSocket-Protocol: " + protocol +
         "\r\n\r\n";
}

// RFC 6455 section 1.2's example request.
const std::string rfc_request =
    "GET /chat HTTP/1.1\r\nHost: server.example.com\r\nUpgrade: websocket\r\n"
    "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
    "Origin: http://example.com\r\nSec-WebSocket-Version: 13\r\n\r\n";

// The hixie-76 draft's example request, with its 8 key bytes.
const std::string hixie_headers =
    "GET /demo HTTP/1.1\r\nHost: example.com\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key2: 12998 5 Y3 1  .P00\r\nSec-WebSocket-Protocol: sample\r\n"
    "Upgrade: WebSocket\r\nSec-WebSocket-Key1: 4 @1  46546xW%0l 1 5\r\n"
    "Origin: http://example.com\r\n\r\n";
const std::string hixie_request = hixie_headers + "^n:ds[4U";

std::string hixie_reply(const std::string& origin, const std::string& location,
                        const std::string& digest,
                        const std::string& protocol = "dumb-increment-protocol") {
  return "HTTP/1.1 101 WebSocket Protocol Handshake\r\nUpgrade: WebSocket\r\n"
         "Connection: Upgrade\r\nSec-WebSocket-Origin: " + origin +
         "\r\nSec-WebSocket-Location: " + location +
         "\r\nSec-WebSocket-Protocol: " + protocol + "\r\n\r\n" + digest;
}
// The draft example's own location and protocol, and its digest.
const std::string draft_location = "ws://example.com/demo";
const std::string draft_digest = "8jKS'y:G*Co,Wxa-";
std::string draft_reply() { return hixie_reply("http://example.com", draft_location, draft_digest, "sample"); }

// The draft's challenge digest, computed apart from the code under test.
std::string md5_challenge(uint32_t number1, uint32_t number2, const std::string& tail8) {
  uint8_t challenge[16] = {uint8_t(number1 >> 24), uint8_t(number1 >> 16), uint8_t(number1 >> 8),
                           uint8_t(number1),       uint8_t(number2 >> 24), uint8_t(number2 >> 16),
                           uint8_t(number2 >> 8),  uint8_t(number2)};
  std::memcpy(challenge + 8, tail8.data(), 8);
  uint8_t digest[16];
  unsigned int size = 0;
  EVP_Digest(challenge, 16, digest, &size, EVP_md5(), nullptr);
  return std::string(reinterpret_cast<char*>(digest), 16);
}

// A builder's view of one request: the bytes against a guard page with no
// NUL behind them, and a reply buffer of exactly the builders' capacity.
class Builder : public ::testing::Test {
 protected:
  QOR_WS ws;
  guarded_bytes request_page{1 << 16};
  guarded_bytes reply_page{ws_reply_capacity};

  void SetUp() override { ws_init(&ws); }
  void TearDown() override { ws_close(&ws); }

  // The reply, or "" when the builder gave none.
  std::string build(const std::string& request) {
    uint8_t* req = request_page.place(request.data(), request.size());
    char* reply = reinterpret_cast<char*>(reply_page.place(nullptr, 0, ws_reply_capacity, 0x5A));
    int64_t r = handshake_rfc6455(&ws, req, int64_t(request.size()), reply);
    if (r <= 0) return "";
    EXPECT_EQ(reply[r], '\0');
    return std::string(reply, size_t(r));
  }
};

TEST_F(Builder, Rfc6455ExampleGivesTheStandardsAcceptValue) {
  char out[ws_accept_capacity];
  ASSERT_EQ(accept_key(&ws, reinterpret_cast<const uint8_t*>(rfc_key.data()),
                       uint32_t(rfc_key.size()), out), 28);
  EXPECT_EQ(std::string(out), rfc_accept);
  // The digest object is released again after a digest that succeeded.
  EXPECT_EQ(ws.h_prov, 0u);
  EXPECT_EQ(ws.alg, win::CALG_SHA1);
  EXPECT_EQ(rfc_reply.size(), 129u);
}

struct reply_case {
  const char* what;
  std::string request;
  std::string reply;
};

TEST_F(Builder, Rfc6455Replies) {
  const std::string head = "GET / HTTP/1.1\r\nSec-WebSocket-Key: " + rfc_key + "\r\n";
  const reply_case cases[] = {
      {"example request", rfc_request, rfc_reply},
      {"first of two protocols", head + "Sec-WebSocket-Protocol: chat, superchat\r\n\r\n",
       rfc_reply_with("chat")},
      {"protocol ending the bytes read", head + "Sec-WebSocket-Protocol: chat", rfc_reply_with("chat")},
      {"empty protocol ending the bytes read", head + "Sec-WebSocket-Protocol:  ", rfc_reply},
      {"key ending the bytes read", "GET / HTTP/1.1\r\nSec-WebSocket-Key: " + rfc_key, rfc_reply},
      {"request cut inside its headers", head + "Host: server.exa", rfc_reply},
      {"hixie-76 headers too", hixie_headers.substr(0, 39) + "Sec-WebSocket-Key: " + rfc_key +
                                   "\r\n" + hixie_headers.substr(39), rfc_reply_with("sample")},
      {"protocol header after a NUL is not seen",
       head + std::string(1, '\0') + "Sec-WebSocket-Protocol: chat\r\n\r\n", rfc_reply},
  };
  for (const reply_case& c : cases) {
    SCOPED_TRACE(c.what);
    ws.version = 0;
    EXPECT_EQ(build(c.request), c.reply);
    EXPECT_EQ(ws.version, 13u);
  }
}

TEST_F(Builder, ProtocolTokenIsEchoedOnlyWhileTheReplyFits) {
  const std::string head = "GET / HTTP/1.1\r\nSec-WebSocket-Key: " + rfc_key + "\r\n";
  std::string fits(1891, 'p');
  std::string reply = build(head + "Sec-WebSocket-Protocol: " + fits + "\r\n\r\n");
  EXPECT_EQ(reply, rfc_reply_with(fits));
  EXPECT_EQ(reply.size(), 129u + 1891 + 26);
  std::string too_long(1892, 'p');
  EXPECT_EQ(build(head + "Sec-WebSocket-Protocol: " + too_long + "\r\n\r\n"), rfc_reply);
}

TEST_F(Builder, Hixie76DraftExample) {
  EXPECT_EQ(build(hixie_request),
            draft_reply());
  EXPECT_EQ(ws.version, 8u);
  EXPECT_EQ(ws.h_prov, 0u);
}

TEST_F(Builder, Hixie76ChallengeUsesTheLastEightBytesRead) {
  // The key bytes have not come with the headers: the headers' tail stands in.
  std::string tail = hixie_headers.substr(hixie_headers.size() - 8);
  EXPECT_EQ(build(hixie_headers),
            hixie_reply("http://example.com", draft_location,
                        md5_challenge(829309203, 259970620, tail), "sample"));
}

TEST_F(Builder, Hixie76KeyNumbersSaturateAndDivide) {
  // 20 digits saturate at 0xFFFFFFFF, divided by 3 spaces; no digits read 0.
  std::string request =
      "GET / HTTP/1.1\r\nHost: h\r\nOrigin: o\r\n"
      "Sec-WebSocket-Key1: 1234567890 1234567890 x \r\nSec-WebSocket-Key2: a b\r\n\r\n12345678";
  EXPECT_EQ(build(request), hixie_reply("o", "ws://h/", md5_challenge(0xFFFFFFFFu / 3, 0, "12345678")));
}

TEST_F(Builder, Hixie76ValuesUpToTheirLimitsAreKept) {
  std::string origin(127, 'o');
  std::string host(127, 'h');
  std::string digits(127, '0');
  digits.back() = '8';
  std::string request = "GET / HTTP/1.1\r\nHost: " + host + "\r\nOrigin: " + origin +
                        "\r\nSec-WebSocket-Key1: " + digits + " \r\nSec-WebSocket-Key2: 4  \r\n\r\nabcdefgh";
  EXPECT_EQ(build(request), hixie_reply(origin, "ws://" + host + "/", md5_challenge(8, 2, "abcdefgh")));
}

// Header names are case-insensitive; clients and proxies use every case.
TEST_F(Builder, HeaderNamesAreFoundInAnyCase) {
  const reply_case cases[] = {
      {"all lower case, with extensions",
       "GET / HTTP/1.1\r\nhost: 127.0.0.1\r\nconnection: upgrade\r\nupgrade: websocket\r\n"
       "sec-websocket-key: " + rfc_key + "\r\nsec-websocket-version: 13\r\n"
       "sec-websocket-extensions: permessage-deflate; client_max_window_bits\r\n"
       "sec-websocket-protocol: chat\r\n\r\n",
       rfc_reply_with("chat")},
      {"one canonical form", "GET / HTTP/1.1\r\nSec-Websocket-Key: " + rfc_key + "\r\n\r\n", rfc_reply},
      {"all upper case", "GET / HTTP/1.1\r\nSEC-WEBSOCKET-KEY: " + rfc_key + "\r\n\r\n", rfc_reply},
      {"hixie-76 in lower case",
       "GET /demo HTTP/1.1\r\nhost: example.com\r\nsec-websocket-key2: 12998 5 Y3 1  .P00\r\n"
       "sec-websocket-key1: 4 @1  46546xW%0l 1 5\r\norigin: http://example.com\r\n\r\n^n:ds[4U",
       hixie_reply("http://example.com", draft_location, draft_digest)},
  };
  for (const reply_case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(build(c.request), c.reply);
  }
}

// A hixie-76 request with the draft's keys and digest, its head lines given.
std::string hixie_with(const std::string& request_line, const std::string& lines) {
  return request_line + "\r\nSec-WebSocket-Key1: 4 @1  46546xW%0l 1 5\r\n"
         "Sec-WebSocket-Key2: 12998 5 Y3 1  .P00\r\n" + lines + "\r\n^n:ds[4U";
}

// A name inside a value ("localhost:" holds "host:"), inside another name or
// in the request line is no header of its own.
TEST_F(Builder, HeaderNamesMatchOnlyWhereAHeaderLineBegins) {
  const std::string host = "Host: 127.0.0.1:8081\r\n";
  const reply_case cases[] = {
      {"Origin naming localhost before Host",
       hixie_with("GET / HTTP/1.1", "Origin: http://localhost:8080\r\n" + host),
       hixie_reply("http://localhost:8080", "ws://127.0.0.1:8081/", draft_digest)},
      {"request line naming localhost",
       hixie_with("GET /demo?to=localhost:9000 HTTP/1.1", host + "Origin: o\r\n"),
       hixie_reply("o", "ws://127.0.0.1:8081/demo?to=localhost:9000", draft_digest)},
      {"X-Forwarded-Host before Host",
       hixie_with("GET / HTTP/1.1", "X-Forwarded-Host: evil\r\n" + host + "Origin: o\r\n"),
       hixie_reply("o", "ws://127.0.0.1:8081/", draft_digest)},
      {"key name inside a Cookie value",
       "GET / HTTP/1.1\r\nCookie: a=sec-websocket-key: AAAAAAAAAAAAAAAAAAAAAA==\r\n"
       "Sec-WebSocket-Key: " + rfc_key + "\r\n\r\n",
       rfc_reply},
      {"key in the request line", "Sec-WebSocket-Key: " + rfc_key + "\r\nHost: h\r\n\r\n", ""},
      {"key behind the empty line", "GET / HTTP/1.1\r\nHost: h\r\n\r\nSec-WebSocket-Key: " + rfc_key, ""},
      {"Host only among the key bytes",
       "GET / HTTP/1.1\r\nOrigin: o\r\nSec-WebSocket-Key1: 1 2\r\nSec-WebSocket-Key2: 1 2\r\n\r\nHost:abc", ""},
  };
  for (const reply_case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(build(c.request), c.reply);
  }
}

// A draft-76 client fails a connection whose location is not the URL it
// opened, or whose protocol is not the one it asked for.
TEST_F(Builder, Hixie76ReplyNamesTheClientsLocationAndProtocol) {
  const std::string lines = "Host: example.com\r\nOrigin: o\r\n";
  const reply_case cases[] = {
      {"path with a query", hixie_with("GET /a/b?x=1 HTTP/1.1", lines),
       hixie_reply("o", "ws://example.com/a/b?x=1", draft_digest)},
      {"protocol asked for", hixie_with("GET /demo HTTP/1.1", lines + "Sec-WebSocket-Protocol: chat v2\r\n"),
       hixie_reply("o", draft_location, draft_digest, "chat v2")},
      {"empty protocol value", hixie_with("GET / HTTP/1.1", "Sec-WebSocket-Protocol:\r\n" + lines),
       hixie_reply("o", "ws://example.com/", draft_digest)},
      {"request line without a version", hixie_with("GET /demo", lines),
       hixie_reply("o", draft_location, draft_digest)},
  };
  for (const reply_case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(build(c.request), c.reply);
  }
}

TEST_F(Builder, Hixie76ReplyThatWouldNotFitIsRefused) {
  const std::string lines = "Host: example.com\r\nOrigin: o\r\n";
  // The longest resource whose reply, digest included, leaves room for its NUL.
  std::string path = "/" + std::string(2047 - hixie_reply("o", "ws://example.com/", draft_digest).size(), 'p');
  std::string fits = hixie_reply("o", "ws://example.com" + path, draft_digest);
  ASSERT_EQ(fits.size(), size_t(ws_reply_capacity - 1));
  EXPECT_EQ(build(hixie_with("GET " + path + " HTTP/1.1", lines)), fits);
  ws.version = 0;
  EXPECT_EQ(build(hixie_with("GET " + path + "p HTTP/1.1", lines)), "");
  EXPECT_EQ(build(hixie_with("GET / HTTP/1.1", lines + "Sec-WebSocket-Protocol: " +
                                                   std::string(2000, 'x') + "\r\n")), "");
  EXPECT_EQ(ws.version, 0u);
}

TEST_F(Builder, UnqualifiedRequestsGetNoReply) {
  auto hixie = [](const std::string& origin, const std::string& host, const std::string& key1) {
    return "GET / HTTP/1.1\r\nHost: " + host + "\r\nOrigin: " + origin +
           "\r\nSec-WebSocket-Key1: " + key1 + "\r\nSec-WebSocket-Key2: 1 2\r\n\r\nabcdefgh";
  };
  const reply_case cases[] = {
      {"plain HTTP request", "GET / HTTP/1.1\r\nHost: example.com\r\n\r\n", ""},
      {"empty key ending the bytes read", "GET / HTTP/1.1\r\nSec-WebSocket-Key:  \r\n", ""},
      {"hixie-76 key without a space", hixie("o", "h", "12@34"), ""},
      {"hixie-76 without Origin", "GET / HTTP/1.1\r\nHost: h\r\nSec-WebSocket-Key1: 1 2\r\n"
                                  "Sec-WebSocket-Key2: 1 2\r\n\r\nabcdefgh", ""},
      {"Origin over 127 bytes", hixie(std::string(128, 'o'), "h", "1 2"), ""},
      {"Host over 127 bytes", hixie("o", std::string(128, 'h'), "1 2"), ""},
      {"key of 128 digits", hixie("o", "h", std::string(128, '1') + " "), ""},
      {"key header behind a NUL", "GET / HTTP/1.1\r\n" + std::string(1, '\0') +
                                      "Sec-WebSocket-Key: " + rfc_key + "\r\n\r\n", ""},
  };
  for (const reply_case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(build(c.request), c.reply);
  }
}

// The driver over a real connection: the stream is plain and owns the
// server end; the client end is the test's.
class Driver : public ::testing::Test {
 protected:
  QOR_WS ws;
  loopback_pair pair;
  uint8_t request[4096];
  uint64_t saved_length = 0;

  void SetUp() override {
    saved_length = packet_length;
    packet_length = sizeof(request);
    ws_init(&ws);
    ASSERT_TRUE(pair.open());
    ws.tls.so = pair.take_server();
    // A silent client must not hold the test up.
    DWORD timeout_ms = 200;
    win::setsockopt(ws.tls.so, win::SOL_SOCKET, win::SO_RCVTIMEO,
                    reinterpret_cast<const char*>(&timeout_ms), sizeof timeout_ms);
  }
  void TearDown() override {
    ws_close(&ws);
    packet_length = saved_length;
  }

  // A fresh object on a fresh connection, for a table of cases.
  bool reconnect(loopback_pair* p) {
    if (!p->open()) return false;
    ws_close(&ws);
    ws_init(&ws);
    ws.tls.so = p->take_server();
    return true;
  }

  // What the stream still holds for a reader: every byte the handshake left.
  std::string still_queued() {
    DWORD timeout_ms = 300;
    win::setsockopt(ws.tls.so, win::SOL_SOCKET, win::SO_RCVTIMEO,
                    reinterpret_cast<const char*>(&timeout_ms), sizeof timeout_ms);
    uint8_t buf[4096];
    int64_t n = ws.tls.recv(buf, sizeof buf);
    return n > 0 ? std::string(reinterpret_cast<char*>(buf), size_t(n)) : "";
  }
};

TEST_F(Driver, Rfc6455RequestIsAnsweredAndTurnsTheConnectionWebSocket) {
  ws.partial = ws.more = ws.continuation = 1;
  ws.type = 2;
  ws.utf8_pending = -1;
  ws.utf8_lenient = 0;
  ASSERT_TRUE(pair.client_send(rfc_request));
  fd_capture out(1);
  EXPECT_EQ(handshake(&ws, request), 0);
  EXPECT_EQ(pair.client_read(rfc_reply.size(), 300), rfc_reply);
  EXPECT_EQ(pair.client_read_available(20), "");
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(ws.ws, 1);
  EXPECT_EQ(ws.version, 13u);
  EXPECT_EQ(ws.type, 1);
  EXPECT_EQ(ws.utf8_pending, 3);
  EXPECT_EQ(ws.utf8_lenient, 1);
  EXPECT_EQ(ws.partial + ws.more + ws.continuation, 0);
}

TEST_F(Driver, Hixie76RequestIsAnswered) {
  ASSERT_TRUE(pair.client_send(hixie_request));
  EXPECT_EQ(handshake(&ws, request), 0);
  std::string reply = draft_reply();
  EXPECT_EQ(pair.client_read(reply.size(), 300), reply);
  EXPECT_EQ(pair.client_read_available(20), "");
  EXPECT_EQ(ws.ws, 1);
  EXPECT_EQ(ws.version, 8u);
}

TEST_F(Driver, PlainClientNotStartingWithGetIsLeftUntouched) {
  // Lower case is another method as far as the peek is concerned.
  const std::string data = "get / HTTP/1.1\r\nSec-WebSocket-Key: " + rfc_key + "\r\n\r\n";
  ASSERT_TRUE(pair.client_send(data));
  ws.partial = 1;
  fd_capture out(1);
  EXPECT_EQ(handshake(&ws, request), -1);
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(ws.ws, 0);
  EXPECT_EQ(ws.partial, 1);
  EXPECT_EQ(still_queued(), data);
}

TEST_F(Driver, ShortPacketLengthTriesNoHandshake) {
  packet_length = 255;
  ASSERT_TRUE(pair.client_send(rfc_request));
  EXPECT_EQ(handshake(&ws, request), -1);
  EXPECT_EQ(handshake(&ws, nullptr), -1);
  EXPECT_EQ(ws.ws, 0);
  EXPECT_EQ(still_queued(), rfc_request);
}

TEST_F(Driver, UnsupportedGetRequestIsConsumedWithTheFailureLine) {
  ASSERT_TRUE(pair.client_send("GET / HTTP/1.1\r\nHost: example.com\r\n\r\n"));
  ws.more = 1;
  fd_capture out(1);
  EXPECT_EQ(handshake(&ws, request), -1);
  EXPECT_EQ(out.text(), "\n\tInvalid or unsupported WebSocket handshake from the client!\n");
  EXPECT_EQ(ws.ws, 0);
  EXPECT_EQ(ws.more, 0);
  // Nothing was answered, and the request is gone from the stream.
  EXPECT_EQ(pair.client_read_available(50), "");
  EXPECT_EQ(still_queued(), "");
}

TEST_F(Driver, ClientThatSendsLessThanGetStaysRaw) {
  ASSERT_TRUE(pair.client_send("GE"));
  EXPECT_EQ(handshake(&ws, request), -1);
  EXPECT_EQ(still_queued(), "GE");
}

TEST_F(Driver, SilentClientEndsTheAttemptAtTheTimeOut) {
  EXPECT_EQ(handshake(&ws, request), -1);
  EXPECT_EQ(ws.ws, 0);
}

// Writes each piece to the client end, `gap_ms` after the one before, on a
// thread of its own while the handshake reads.
struct paced_writer {
  std::thread thread;
  paced_writer(loopback_pair& pair, std::vector<std::string> pieces, int gap_ms)
      : thread([&pair, pieces = std::move(pieces), gap_ms] {
          for (size_t i = 0; i < pieces.size(); ++i) {
            if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gap_ms));
            if (!pair.client_send(pieces[i])) return;
          }
        }) {}
  ~paced_writer() { thread.join(); }
};

TEST_F(Driver, RequestsThatComeInPiecesAreReadWhole) {
  const std::string key_line = "Sec-WebSocket-Key: " + rfc_key + "\r\n";
  struct piece_case {
    const char* what;
    std::vector<std::string> pieces;
    std::string reply;
  };
  const piece_case cases[] = {
      {"key in a second write", {"GET / HTTP/1.1\r\nHost: h\r\n", key_line + "\r\n"}, rfc_reply},
      {"empty line in a write of its own", {"GET / HTTP/1.1\r\n" + key_line, "\r\n"}, rfc_reply},
      {"empty line cut between writes", {"GET / HTTP/1.1\r\n" + key_line + "\r", "\n"}, rfc_reply},
      {"hixie-76 key bytes in a later write", {hixie_headers, "^n:ds[4U"}, draft_reply()},
  };
  for (const piece_case& c : cases) {
    SCOPED_TRACE(c.what);
    loopback_pair p;
    ASSERT_TRUE(reconnect(&p));
    int32_t result;
    {
      paced_writer writer(p, c.pieces, 100);
      result = handshake(&ws, request);
    }
    EXPECT_EQ(result, 0);
    EXPECT_EQ(p.client_read(c.reply.size(), 300), c.reply);
    // Nothing of the request is left to be read as data.
    ASSERT_TRUE(p.client_send("after"));
    EXPECT_EQ(still_queued(), "after");
  }
}

// Requests around the buffer's size at two packet lengths: a read takes at
// most L - 1 bytes; the rest of a longer request is read and dropped, so the
// stream then holds only what the client sent after it.
TEST_F(Driver, RequestsAroundTheBufferSizeAreAnsweredAndLeaveNothingBehind) {
  for (uint64_t L : {256u, 4096u}) {
    for (int64_t extra : {-1, 0, 1}) {
      const size_t total = size_t(int64_t(L) + extra);
      SCOPED_TRACE("L " + std::to_string(L) + ", request of " + std::to_string(total) + " bytes");
      std::string head = "GET / HTTP/1.1\r\nSec-WebSocket-Key: " + rfc_key + "\r\nX-Pad: ";
      std::string req = head + std::string(total - head.size() - 4, 'p') + "\r\n\r\n";
      ASSERT_EQ(req.size(), total);
      loopback_pair p;
      ASSERT_TRUE(reconnect(&p));
      packet_length = L;
      ASSERT_TRUE(p.client_send(req));
      EXPECT_EQ(handshake(&ws, request), 0);
      EXPECT_EQ(p.client_read(rfc_reply.size(), 300), rfc_reply);
      ASSERT_TRUE(p.client_send("frame"));
      EXPECT_EQ(still_queued(), "frame");
    }
  }
}

// A browser's large Cookie header: before the key, the key is in the part
// dropped and the request is refused; behind it, the request is answered.
// Either way no byte of the request is left for the relay.
TEST_F(Driver, ARequestLongerThanTheBufferIsNeverLeftForTheRelay) {
  const std::string cookie = "Cookie: " + std::string(6000, 'c') + "\r\n";
  const std::string key_line = "Sec-WebSocket-Key: " + rfc_key + "\r\n";
  struct long_case {
    const char* what;
    std::string request;
    int32_t result;
  };
  const long_case cases[] = {
      {"cookie before the key", "GET / HTTP/1.1\r\n" + cookie + key_line + "\r\n", -1},
      {"cookie after the key", "GET / HTTP/1.1\r\n" + key_line + cookie + "\r\n", 0},
  };
  for (const long_case& c : cases) {
    SCOPED_TRACE(c.what);
    loopback_pair p;
    ASSERT_TRUE(reconnect(&p));
    fd_capture out(1);
    int32_t result;
    {
      // In pieces, as a network would cut it.
      std::vector<std::string> pieces;
      for (size_t at = 0; at < c.request.size(); at += 1400) pieces.push_back(c.request.substr(at, 1400));
      paced_writer writer(p, pieces, 5);
      result = handshake(&ws, request);
    }
    EXPECT_EQ(result, c.result);
    if (c.result == 0) {
      EXPECT_EQ(p.client_read(rfc_reply.size(), 300), rfc_reply);
      EXPECT_EQ(out.text(), "");
    } else {
      EXPECT_EQ(p.client_read_available(50), "");
      EXPECT_EQ(out.text(), "\n\tInvalid or unsupported WebSocket handshake from the client!\n");
    }
    ASSERT_TRUE(p.client_send("after"));
    EXPECT_EQ(still_queued(), "after");
  }
}

// hixie-76 requests that do not fit a buffer of L = 1024, sent at once: the
// 8 key bytes behind the head are the client's own, wherever the cut falls,
// so the digest is right when every header lies in the part kept and the
// request is refused otherwise. No byte of it is ever left for the relay.
TEST_F(Driver, ACutHixie76RequestGetsItsOwnDigestOrNone) {
  const std::string keys = "Sec-WebSocket-Key1: 4 @1  46546xW%0l 1 5\r\nSec-WebSocket-Key2: 12998 5 Y3 1  .P00\r\n";
  const std::string named = "Host: example.com\r\nOrigin: http://example.com\r\n";
  // A head of `size` bytes: the request line, `before`, a pad line, `after`.
  auto head_of = [](size_t size, const std::string& before, const std::string& after) {
    std::string head = "GET /demo HTTP/1.1\r\n" + before + "X-Pad: ";
    return head + std::string(size - head.size() - 4 - after.size(), 'p') + "\r\n" + after + "\r\n";
  };
  const std::string answered = hixie_reply("http://example.com", draft_location, draft_digest);
  struct cut_case {
    size_t head;
    std::string before, after;
    bool answered;
  };
  const cut_case cases[] = {
      {1015, keys + named, "", true},    // key bytes end the buffer exactly
      {1016, keys + named, "", true},    // the last key byte is cut off
      {1020, keys + named, "", true},    // key bytes straddle the cut
      {1023, keys + named, "", true},    // the head fills the buffer
      {1024, keys + named, "", true},    // the empty line is cut
      {1400, keys + named, "", true},    // headers all in the part kept
      {1400, keys, named, false},        // Host and Origin past the cut
      {1400, named, keys, false},        // no key at all in the part kept
  };
  for (const cut_case& c : cases) {
    std::string req = head_of(c.head, c.before, c.after);
    SCOPED_TRACE("head of " + std::to_string(req.size()) + (c.answered ? ", answered" : ", refused"));
    ASSERT_EQ(req.size(), c.head);
    loopback_pair p;
    ASSERT_TRUE(reconnect(&p));
    packet_length = 1024;
    ASSERT_TRUE(p.client_send(req + "^n:ds[4U"));
    fd_capture out(1);
    EXPECT_EQ(handshake(&ws, request), c.answered ? 0 : -1);
    if (c.answered) {
      EXPECT_EQ(p.client_read(answered.size(), 300), answered);
    } else {
      EXPECT_EQ(p.client_read_available(50), "");
      EXPECT_EQ(out.text(), "\n\tInvalid or unsupported WebSocket handshake from the client!\n");
    }
    ASSERT_TRUE(p.client_send("after"));
    EXPECT_EQ(still_queued(), "after");
  }
}

// The peek waits on the socket's own time-out, here past the window: a
// request whose "GET " it saw only then is still read whole and answered,
// though its rest comes later still.
TEST_F(Driver, ARequestThePeekSawAfterTheWindowIsReadWhole) {
  DWORD timeout_ms = 2000;
  win::setsockopt(ws.tls.so, win::SOL_SOCKET, win::SO_RCVTIMEO,
                  reinterpret_cast<const char*>(&timeout_ms), sizeof timeout_ms);
  const std::string line = "GET / HTTP/1.1\r\n";
  const std::string rest = "Sec-WebSocket-Key: " + rfc_key + "\r\n\r\n";
  int32_t result;
  {
    std::thread late([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(600));
      pair.client_send(line);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      pair.client_send(rest);
    });
    result = handshake(&ws, request);
    late.join();
  }
  EXPECT_EQ(result, 0);
  EXPECT_EQ(pair.client_read(rfc_reply.size(), 300), rfc_reply);
  ASSERT_TRUE(pair.client_send("frame"));
  EXPECT_EQ(still_queued(), "frame");
}

// One window for the whole request: a client that keeps sending header
// lines holds the reader no longer than a silent one.
TEST_F(Driver, ADribblingRequestIsGivenUpWhenTheWindowEnds) {
  std::vector<std::string> pieces{"GET / HTTP/1.1\r\n"};
  for (int i = 0; i < 12; ++i) pieces.push_back("X-Slow: " + std::to_string(i) + "\r\n");
  fd_capture out(1);
  uint64_t start = now_us();
  int32_t result;
  {
    paced_writer writer(pair, pieces, 100);
    result = handshake(&ws, request);
    EXPECT_LT(now_us() - start, 800000u) << "the window was not one deadline";
  }
  EXPECT_EQ(result, -1);
  EXPECT_EQ(out.text(), "\n\tInvalid or unsupported WebSocket handshake from the client!\n");
}

TEST(WsObject, FreshObjectAndItsTeardown) {
  QOR_WS ws;
  ws_init(&ws);
  EXPECT_EQ(ws.version, 0u);
  EXPECT_EQ(ws.ws, 0);
  EXPECT_EQ(ws.tls.so, INVALID_SOCKET);
  EXPECT_EQ(ws.tls.ssl, nullptr);
  EXPECT_EQ(ws.alg, win::CALG_SHA1);
  EXPECT_EQ(ws.type, 1);
  EXPECT_EQ(ws.utf8_pending, 3);
  EXPECT_EQ(ws.utf8_lenient, 1);
  // A digest abandoned half way is freed by the teardown, whatever its algorithm.
  ASSERT_EQ(ws.init(win::CALG_MD5), 0u);
  ws.ws = 1;
  ws_close(&ws);
  EXPECT_EQ(ws.ws, 0);
  EXPECT_EQ(ws.alg, win::CALG_SHA1);
  EXPECT_EQ(ws.h_prov, 0u);
  EXPECT_FALSE(ws.tls.lock.valid);
  ws_close(&ws);
  EXPECT_EQ(ws.alg, win::CALG_SHA1);
  EXPECT_EQ(ws.tls.so, INVALID_SOCKET);
}

}  // namespace
