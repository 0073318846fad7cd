// Bad input ends only the sender's connection and the relay keeps serving:
// malformed or unwanted frames, a frame too large for the buffer, a "GET "
// that is no WebSocket request (consumed, then relayed raw), and handshakes
// that never complete (given up after the set-up time-outs).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/client.h"
#include "support/peer_set.h"
#include "support/relay_session.h"
#include "support/tls_client.h"
#include "support/ws_peers.h"

namespace {

struct RelayBadInput : relay_peers {
  RelayBadInput() { python_script = TESTS_DIR "/clients/ws_peer.py"; }
};

TEST_F(RelayBadInput, AFrameTheRelayRefusesEndsOnlyItsSendersConnection) {
  ASSERT_TRUE(start(WSRELAY_BIN, {"-c", "6"}));
  auto* raw = add_raw("raw");
  ASSERT_TRUE(raw);
  auto* py = add_python("python", "ws");
  ASSERT_TRUE(py);

  struct bad_case {
    const char* what;
    wire_peer::protocol proto;
    std::string frame;
  };
  const bad_case cases[] = {
      {"RSV1 set", wire_peer::rfc6455, ws_frame(0xC1, "rsv1")},
      {"RSV2 set", wire_peer::rfc6455, ws_frame(0xA1, "rsv2")},
      {"RSV3 set", wire_peer::rfc6455, ws_frame(0x91, "rsv3")},
      {"continuation without a message", wire_peer::rfc6455, ws_frame(0x80, "cont")},
      {"reserved opcode", wire_peer::rfc6455, ws_frame(0x83, "op3")},
      {"ping", wire_peer::rfc6455, ws_frame(0x89, "ping")},
      {"empty text frame", wire_peer::rfc6455, ws_frame(0x81, "")},
      {"hixie-76 length-prefixed frame", wire_peer::hixie76, std::string("\x80\x05hello", 7)},
      {"hixie-76 message without its 0x00", wire_peer::hixie76, "hello\xFF"},
  };
  size_t ends = 0;
  for (const bad_case& c : cases) {
    SCOPED_TRACE(c.what);
    auto* bad = add_wire(c.what, wire::plain, c.proto);
    ASSERT_TRUE(bad);
    everyone_gets(bad, "before", true, true);

    // A good frame right behind the bad one, in the same segment: neither
    // may reach anyone.
    std::string after = c.proto == wire_peer::rfc6455 ? ws_frame(0x81, "after")
                                                      : hixie76_message("after");
    ASSERT_TRUE(bad->w.send(c.frame + after));
    EXPECT_TRUE(bad->w.wait_closed(3000)) << "the connection stayed open";
    EXPECT_TRUE(raw->quiet(50));
    EXPECT_TRUE(py->quiet(50));
    // Gone as a client goes once the relay has closed: after a close frame
    // the relay waits for that.
    peers.pop_back();
    ASSERT_TRUE(wait_ends(++ends, 5000)) << relay.out();

    everyone_gets(py, std::string("still there after ") + c.what, true, true);
  }
  EXPECT_FALSE(py->p.closed()) << py->p.proc.out;
  EXPECT_EQ(relay.out().find("!!"), std::string::npos) << relay.out();
}

// With -L 1024 a read takes at most 1023 bytes, a masked frame with a 16-bit
// length has an 8-byte header, and an RFC 6455 recipient takes at most 1014
// payload bytes.
TEST_F(RelayBadInput, AFrameLargerThanTheBufferEndsItsSendersConnection) {
  ASSERT_TRUE(start(WSRELAY_BIN, {"-c", "6", "-L", "1024"}));
  auto* raw = add_raw("raw");
  ASSERT_TRUE(raw);
  auto* py = add_python("python", "ws");
  ASSERT_TRUE(py);

  struct size_case {
    const char* what;
    size_t payload;
    bool to_raw;
    bool to_python;
  };
  const size_case cases[] = {
      {"largest frame for every recipient", 1014, true, true},
      {"one byte too large for a WebSocket recipient", 1015, true, false},
      {"frame of 1024 bytes, one more than a read", 1016, false, false},
      {"frame of 64 KiB", 65535, false, false},
  };
  size_t ends = 0;
  for (const size_case& c : cases) {
    SCOPED_TRACE(c.what);
    auto* sender = add_wire(c.what, wire::plain, wire_peer::rfc6455);
    ASSERT_TRUE(sender);
    std::string payload;
    for (size_t i = 0; i < c.payload; ++i) payload += char('A' + i % 23);
    ASSERT_TRUE(sender->w.send(ws_frame(0x81, payload)));
    if (c.to_raw) {
      EXPECT_EQ(raw->expect(payload, true, 5000), "");
    } else {
      EXPECT_TRUE(raw->quiet(100));
    }
    if (c.to_python) {
      EXPECT_EQ(py->expect(payload, true, 5000), "");
    } else {
      EXPECT_TRUE(py->quiet(100));
    }
    bool ends_connection = !c.to_raw;
    if (ends_connection) {
      EXPECT_TRUE(sender->w.wait_closed(3000)) << "the connection stayed open";
      peers.pop_back();   // as in the test above
      ASSERT_TRUE(wait_ends(++ends, 5000)) << relay.out();
    } else {
      everyone_gets(sender, "small", true, true);   // the sender is still served
    }
  }
  EXPECT_FALSE(py->p.closed()) << py->p.proc.out;
}

TEST_F(RelayBadInput, AGetThatIsNoWebSocketRequestIsConsumedAndTheConnectionRelaysRaw) {
  ASSERT_TRUE(start(WSRELAY_BIN, {"-c", "6"}));
  auto* raw = add_raw("raw");
  ASSERT_TRUE(raw);
  auto* py = add_python("python", "ws");
  ASSERT_TRUE(py);

  const std::string request = "GET /index.html HTTP/1.1\r\nHost: example.com\r\nAccept: */*\r\n\r\n";
  relay_client get;
  ASSERT_TRUE(get.connect(relay.port, 0, 0, false));
  ASSERT_TRUE(get.send_all(request, 2000));
  ASSERT_TRUE(wait_kinds("RAW", 2, 5000)) << relay.out();
  EXPECT_NE(relay.out().find("\n\tInvalid or unsupported WebSocket handshake from the client!\n"),
            std::string::npos) << relay.out();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_TRUE(raw->quiet(100)) << "the request was relayed";
  EXPECT_TRUE(py->quiet(50)) << "the request was relayed";
  EXPECT_EQ(get.read(1 << 16, 50), "") << "the relay answered the request";

  // From now on it is a raw client, both ways.
  ASSERT_TRUE(get.send_all("now raw", 2000));
  EXPECT_EQ(raw->expect("now raw", true, 5000), "");
  EXPECT_EQ(py->expect("now raw", true, 5000), "");
  ASSERT_TRUE(py->send("to the former GET", true));
  EXPECT_TRUE(read_until(get, "to the former GET", 5000));
  EXPECT_EQ(raw->expect("to the former GET", true, 5000), "");

  // The same letters in lower case are no "GET ": all of it is relayed.
  relay_client lower;
  ASSERT_TRUE(lower.connect(relay.port, 0, 0, false));
  const std::string lower_request = "get /index.html HTTP/1.1\r\nHost: example.com\r\n\r\n";
  ASSERT_TRUE(lower.send_all(lower_request, 2000));
  ASSERT_TRUE(wait_kinds("RAW", 3, 5000)) << relay.out();
  EXPECT_EQ(py->expect(lower_request, true, 5000), "");
  EXPECT_EQ(raw->expect(without_control(lower_request), true, 5000), "");
  EXPECT_TRUE(read_until(get, "get /index.html HTTP/1.1", 5000));
}

TEST_F(RelayBadInput, HandshakesThatNeverCompleteAreGivenUpWhileOthersAreServed) {
  ASSERT_TRUE(add_certificate());
  ASSERT_TRUE(start(WSRELAY_BIN, {"-c", "6"}));
  auto* raw = add_raw("raw");
  ASSERT_TRUE(raw);
  auto* py = add_python("python", "ws");
  ASSERT_TRUE(py);

  // A ClientHello and then nothing: the TLS handshake waits for the rest,
  // gives up after its time-out and drops the connection.
  const std::string client_hello = client_hello_bytes();   // before the clock starts
  relay_client hello;
  ASSERT_TRUE(hello.connect(relay.port, 0, 0, false));
  uint64_t sent = now_us();
  ASSERT_TRUE(hello.send_all(client_hello, 2000));
  everyone_gets(py, "served during a stalled TLS handshake", true, true);
  everyone_gets(raw, "served again", true, true);
  EXPECT_TRUE(hello.wait_closed(5000)) << "the stalled handshake was never given up";
  EXPECT_GE(now_us() - sent, 400000u) << "given up before its time-out";
  ASSERT_TRUE(wait_dropped(1, 5000)) << relay.out();

  // "GET " and then nothing: its one read takes what came; that is no
  // request, so the connection goes on raw and the four bytes are dropped.
  relay_client get;
  ASSERT_TRUE(get.connect(relay.port, 0, 0, false));
  ASSERT_TRUE(get.send_all("GET ", 2000));
  ASSERT_TRUE(wait_kinds("RAW", 2, 5000)) << relay.out();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  ASSERT_TRUE(get.send_all("rest", 2000));
  EXPECT_EQ(raw->expect("rest", true, 5000), "") << "\"GET \" was relayed, or nothing after it";
  EXPECT_EQ(py->expect("rest", true, 5000), "");

  // A client that sends nothing at all is set up as RAW after the two waits.
  relay_client silent;
  ASSERT_TRUE(silent.connect(relay.port, 0, 0, false));
  everyone_gets(py, "served while one sends nothing", true, true);
  ASSERT_TRUE(wait_kinds("RAW", 3, 5000)) << relay.out();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  ASSERT_TRUE(py->send("to the silent one", true));
  EXPECT_TRUE(read_until(silent, "to the silent one", 5000));
  EXPECT_EQ(raw->expect("to the silent one", true, 5000), "");
  EXPECT_TRUE(read_until(get, "to the silent one", 5000));
}

}  // namespace
