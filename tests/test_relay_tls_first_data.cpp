// A TLS client that sends as soon as its handshake is done: what it sends is
// its data, not a request, and reaches every other client whole; only a
// first piece that begins with "GET " is read as a request (and consumed
// when it is none, as on a plain connection).
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <regex>
#include <string>

#include "support/peer_set.h"
#include "support/relay_session.h"
#include "support/ws_peers.h"

namespace {

struct RelayTlsFirstData : relay_peers {
  raw_peer* raw = nullptr;
  wire_peer* ws = nullptr;

  void SetUp() override {
    ASSERT_TRUE(add_certificate());
    ASSERT_TRUE(start(WSRELAY_BIN, {"-c", "6"}));
    raw = add_raw("raw");
    ASSERT_TRUE(raw);
    ws = add_wire("rfc6455", wire::plain, wire_peer::rfc6455);
    ASSERT_TRUE(ws);
  }

  // Frames read by the RFC 6455 recipient until `size` payload bytes came;
  // each must be a whole data frame of at most `largest` bytes.
  std::string ws_receive(size_t size, size_t largest) {
    std::string got;
    while (got.size() < size) {
      ws_in f;
      if (!read_ws_frame(ws->w, &f, 5000)) break;
      EXPECT_EQ(f.first & 0xF0, 0x80) << "not a final frame";
      EXPECT_LE(f.payload.size(), largest);
      got += f.payload;
    }
    return got;
  }
};

std::string pattern(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += char(0x20 + (i * 13 + i / 97) % 0x5F);
  return s;
}

TEST_F(RelayTlsFirstData, DataSentAtOnceReachesEveryKindOfClientWhole) {
  struct first_case {
    const char* what;
    std::string data;
  };
  const first_case cases[] = {
      {"a line", "first words\n"},
      {"one record of 4095 bytes", pattern(4095)},
  };
  size_t n = 0;
  for (const first_case& c : cases) {
    SCOPED_TRACE(c.what);
    wire tls;
    ASSERT_TRUE(tls.connect(relay.port, wire::tls));
    ASSERT_TRUE(tls.send(c.data));   // one write, one record, before set-up is over
    EXPECT_EQ(raw->expect(c.data, false, 5000), "");
    EXPECT_EQ(ws_receive(c.data.size(), 4086), c.data);
    ASSERT_TRUE(wait_kinds("TLS", ++n, 5000)) << relay.out();

    // It relays on as any TLS client, both ways.
    ASSERT_TRUE(tls.send("and more"));
    EXPECT_EQ(raw->expect("and more", false, 5000), "");
    EXPECT_EQ(ws->expect("and more", true, 5000), "");
    ASSERT_TRUE(raw->send("back", false));
    EXPECT_EQ(tls.read(4, 5000), "back");
    EXPECT_EQ(ws->expect("back", true, 5000), "");
    // Gone before the next one starts, so that its line gets its kind.
    tls.tcp.close();
    ASSERT_TRUE(wait_ends(n, 5000)) << relay.out();
  }
  EXPECT_EQ(relay.out().find("Invalid or unsupported"), std::string::npos) << relay.out();
}

TEST_F(RelayTlsFirstData, AnHttpsRequestIsStillConsumedWithTheMessage) {
  wire tls;
  ASSERT_TRUE(tls.connect(relay.port, wire::tls));
  ASSERT_TRUE(tls.send("GET /index.html HTTP/1.1\r\nHost: localhost\r\n\r\n"));
  ASSERT_TRUE(wait_kinds("TLS", 1, 5000)) << relay.out();
  EXPECT_NE(relay.out().find("\n\tInvalid or unsupported WebSocket handshake from the client!\n"),
            std::string::npos) << relay.out();
  EXPECT_TRUE(raw->quiet(100)) << "the request was relayed";
  EXPECT_TRUE(ws->quiet(50)) << "the request was relayed";

  ASSERT_TRUE(tls.send("after the request"));
  EXPECT_EQ(raw->expect("after the request", false, 5000), "");
}

// The openssl command sends its input lines as soon as it has connected.
TEST_F(RelayTlsFirstData, TheOpensslCommandsFirstLinesArrive) {
  test_process client;
  int to_client = -1;
  ASSERT_TRUE(start_with_stdin(&client, "/usr/bin/openssl",
                               {"openssl", "s_client", "-quiet", "-no_ign_eof", "-connect",
                                "127.0.0.1:" + std::to_string(relay.port)},
                               relay.dir.path, &to_client));
  const std::string lines = "one\ntwo\n";
  ASSERT_EQ(write(to_client, lines.data(), lines.size()), ssize_t(lines.size()));
  EXPECT_EQ(raw->expect(lines, false, 10000), "") << client.err;
  ASSERT_TRUE(wait_kinds("TLS", 1, 5000)) << relay.out();
  close(to_client);
  client.kill_and_reap();
}

// A request in one TLS record whose bytes trickle in: the set-up window is
// one deadline for every socket read, also those one record takes, so the
// slot is set up within it and is not held for as long as the client likes.
TEST_F(RelayTlsFirstData, ARecordTrickledInDoesNotHoldTheSetUpPastItsWindow) {
  wire tls;
  ASSERT_TRUE(tls.connect(relay.port, wire::tls));
  // The record as the library makes it, caught in memory, then sent a byte
  // at a time.
  SSL* ssl = tls.secure->ssl;
  BIO* caught = BIO_new(BIO_s_mem());
  SSL_set0_wbio(ssl, caught);
  const std::string request = "GET / HTTP/1.1\r\nHost: x\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
  ASSERT_EQ(SSL_write(ssl, request.data(), int(request.size())), int(request.size()));
  char* bytes = nullptr;
  const long size = BIO_get_mem_data(caught, &bytes);
  const std::string record(bytes, size_t(size));
  const uint64_t start = now_us();
  bool set_up_in_time = false;
  for (char b : record) {
    ASSERT_EQ(::send(tls.tcp.fd, &b, 1, MSG_NOSIGNAL), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!set_up_in_time && kinds("TLS") == 1) set_up_in_time = now_us() - start < 1500000;
  }
  EXPECT_TRUE(set_up_in_time) << "set-up was held " << (now_us() - start) / 1000 << " ms\n" << relay.out();
  EXPECT_EQ(kinds("WSS"), 0u) << relay.out();
}

}  // namespace
