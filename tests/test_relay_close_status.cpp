// A frame the relay does not take ends its sender's connection with a close
// frame that tells why: 1002 for a malformed frame, 1003 for a ping, a pong
// or an empty data frame, 1009 for a frame larger than one read holds, known
// from its header alone. The close frame comes whole with nothing behind it,
// then the connection ends, over ws:// and wss://, and the frame is never
// relayed. Real clients report the status: Node's ws and python's websockets.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/peer_set.h"
#include "support/process.h"
#include "support/relay_session.h"
#include "support/ws_peers.h"

namespace {

const char* const NODE = "/usr/bin/node";
const char* const NODE_PATH = "NODE_PATH=/usr/share/nodejs";
constexpr int RUNS = 4;

std::string close_frame(uint16_t status) {
  return std::string("\x88\x02", 2) + char(status >> 8) + char(status & 0xFF);
}

std::string letters(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = char('a' + i % 26);
  return s;
}

const char* mode_name(wire::mode m) { return m == wire::tls ? "wss" : "ws"; }

struct RelayCloseStatus : relay_peers {
  // Reads the relay's answer to a refused frame: exactly the close frame,
  // then the end of the connection with nothing behind it.
  void expect_close_and_end(wire& w, uint16_t status) {
    EXPECT_EQ(shown(w.read(4, 3000)), shown(close_frame(status)));
    EXPECT_EQ(shown(w.read(64, 3000)), "") << "bytes after the close frame";
    EXPECT_TRUE(w.wait_closed(100)) << "the connection stayed open";
  }
};

TEST_F(RelayCloseStatus, EachRefusedFrameGetsItsStatusThenTheEndOverTcpAndTls) {
  ASSERT_TRUE(add_certificate());
  ASSERT_TRUE(start(WSRELAY_BIN, {"-c", "6"}));
  raw_peer* raw = add_raw("raw");
  ASSERT_TRUE(raw);

  struct refused {
    const char* what;
    std::string frame;
    uint16_t status;
  };
  const std::string top_bit = std::string("\x82\xFF\x80\0\0\0\0\0\0\x05", 10) + "\x37\xFA\x21\x3D";
  const refused cases[] = {
      {"RSV1", ws_frame(0xC1, "rsv1"), 1002},
      {"RSV3 on a close", ws_frame(0x98, std::string("\x03\xE8", 2)), 1002},
      {"continuation without a message", ws_frame(0x80, "cont"), 1002},
      {"close without FIN", ws_frame(0x08, ""), 1002},
      {"ping without FIN", ws_frame(0x09, "ping"), 1002},
      {"reserved data opcode", ws_frame(0x83, "op3"), 1002},
      {"reserved control opcode", ws_frame(0x8B, "opB"), 1002},
      {"64-bit length with its top bit", top_bit, 1002},
      {"ping", ws_frame(0x89, "ping"), 1003},
      {"pong", ws_frame(0x8A, ""), 1003},
      {"empty text frame", ws_frame(0x81, ""), 1003},
      {"empty binary frame", ws_frame(0x82, ""), 1003},
      {"frame one byte larger than a read", ws_frame(0x82, letters(4088)), 1009},
      {"header alone of such a frame", "\x82\xFE\x0F\xF8", 1009},
      {"frame of 64 KiB", ws_frame(0x81, letters(65536)), 1009},
  };
  size_t ends = 0;
  for (wire::mode m : {wire::plain, wire::tls}) {
    for (const refused& c : cases) {
      SCOPED_TRACE(std::string(c.what) + " over " + mode_name(m));
      wire_peer* bad = add_wire(c.what, m, wire_peer::rfc6455);
      ASSERT_TRUE(bad);
      ASSERT_TRUE(bad->w.send(c.frame));
      expect_close_and_end(bad->w, c.status);
      // A client closes once the relay has; the relay waits for that.
      peers.pop_back();
      ASSERT_TRUE(wait_ends(++ends, 5000)) << relay.out();
      EXPECT_TRUE(raw->quiet(30)) << "the refused frame was relayed";
    }
  }
  expect_still_serving();
  EXPECT_EQ(relay.out().find("!!"), std::string::npos) << relay.out();
}

// hixie-76 has no close status: such a client gets nothing, and the relay
// ends its connection at once, without waiting for the client to close.
TEST_F(RelayCloseStatus, AHixie76ClientIsEndedAsBeforeWithNothingSent) {
  ASSERT_TRUE(add_certificate());
  ASSERT_TRUE(start(WSRELAY_BIN, {"-c", "6"}));
  raw_peer* raw = add_raw("raw");
  ASSERT_TRUE(raw);
  struct refused {
    const char* what;
    std::string bytes;
  };
  const refused cases[] = {
      {"length-prefixed frame", std::string("\x80\x05hello", 7)},
      {"message without its 0x00", "hello\xFF"},
      {"close", std::string("\0\xFF", 2)},
      {"message larger than the buffer", std::string(1, '\0') + letters(5000)},
  };
  size_t ends = 0;
  for (wire::mode m : {wire::plain, wire::tls}) {
    for (const refused& c : cases) {
      SCOPED_TRACE(std::string(c.what) + " over " + (m == wire::tls ? "TLS" : "TCP"));
      wire_peer* bad = add_wire(c.what, m, wire_peer::hixie76);
      ASSERT_TRUE(bad);
      ASSERT_TRUE(bad->w.send(c.bytes));
      EXPECT_EQ(shown(bad->w.read(64, 3000)), "");
      EXPECT_TRUE(bad->w.wait_closed(100)) << "the connection stayed open";
      ASSERT_TRUE(wait_ends(++ends, 1000)) << relay.out();
      peers.pop_back();
      EXPECT_TRUE(raw->quiet(30)) << "the refused message was relayed";
    }
  }
}

// At the default -L 4096 one read holds 4095 bytes: a masked frame with a
// 16-bit length, 8 header bytes, takes 4087 payload bytes.
TEST_F(RelayCloseStatus, AtTheDefaultLengthTheLargestFrameIsRelayedAndOneByteMoreGets1009) {
  ASSERT_TRUE(add_certificate());
  ASSERT_TRUE(start(WSRELAY_BIN, {"-c", "6"}));
  raw_peer* raw = add_raw("raw");
  ASSERT_TRUE(raw);
  size_t ends = 0;
  for (wire::mode m : {wire::plain, wire::tls}) {
    SCOPED_TRACE(mode_name(m));
    wire_peer* sender = add_wire("sender", m, wire_peer::rfc6455);
    ASSERT_TRUE(sender);
    const std::string largest = letters(4087);
    ASSERT_TRUE(sender->w.send(ws_frame(0x82, largest)));
    EXPECT_EQ(raw->expect(largest, false, 5000).substr(0, 100), "");
    const std::string one_more = ws_frame(0x82, letters(4088));
    ASSERT_EQ(shown(one_more.substr(0, 4)), shown("\x82\xFE\x0F\xF8"));
    ASSERT_TRUE(sender->w.send(one_more));
    expect_close_and_end(sender->w, 1009);
    peers.pop_back();
    ASSERT_TRUE(wait_ends(++ends, 5000)) << relay.out();
    EXPECT_TRUE(raw->quiet(30)) << "the frame too large was relayed";
  }
}

// Node's ws client sends a message as one frame. The script prints "open",
// "got" for each message, and "close CODE" at the end; it closes with 1000
// once a message has come.
const char* const NODE_SCRIPT =
    "const WebSocket = require('ws');"
    "const ws = new WebSocket(process.argv[1], {rejectUnauthorized: false});"
    "let text = '';"
    "for (let i = 0; i < +process.argv[2]; ++i) text += String.fromCharCode(97 + i % 26);"
    "ws.on('open', () => { console.log('open'); ws.send(text); });"
    "ws.on('message', () => { console.log('got'); ws.close(1000); });"
    "ws.on('close', (code) => { console.log('close ' + code); process.exit(0); });"
    "ws.on('error', (e) => console.log('error ' + e.message));"
    "setTimeout(() => { console.log('timeout'); process.exit(4); }, 15000);";

struct RelayCloseStatusNode : RelayCloseStatus {
  void SetUp() override {
    if (access(NODE, X_OK) != 0) GTEST_SKIP() << "no " << NODE;
    test_process probe;
    ASSERT_TRUE(probe.start("/usr/bin/env", {"env", NODE_PATH, NODE, "-e", "require('ws')"}));
    ASSERT_TRUE(probe.wait_exit(20000));
    if (probe.exit_code != 0) GTEST_SKIP() << "no ws module for node";
  }

  bool run_node(test_process* node, const std::string& url, size_t size) {
    return node->start("/usr/bin/env",
                       {"env", NODE_PATH, NODE, "-e", NODE_SCRIPT, url, std::to_string(size)});
  }
};

TEST_F(RelayCloseStatusNode, AMessageOf5000BytesAtTheDefaultLengthGetsCloseCode1009) {
  ASSERT_TRUE(add_certificate());
  ASSERT_TRUE(start(WSRELAY_BIN, {"-c", "6"}));
  raw_peer* raw = add_raw("raw");
  ASSERT_TRUE(raw);
  size_t runs = 0;
  for (const char* scheme : {"ws", "wss"}) {
    for (int run = 0; run < RUNS; ++run) {
      SCOPED_TRACE(std::string(scheme) + " run " + std::to_string(run));
      test_process node;
      ASSERT_TRUE(run_node(&node, url(scheme), 5000));
      ASSERT_TRUE(node.wait_exit(20000)) << node.out << node.err;
      EXPECT_EQ(node.out, "open\nclose 1009\n") << node.err;
      ++runs;
      ASSERT_TRUE(wait_ends(runs, 5000)) << relay.out();
      EXPECT_TRUE(raw->quiet(30)) << "the message was relayed";
    }
  }
}

TEST_F(RelayCloseStatusNode, AMessageOf5000BytesReachesARawClientWholeAtL1048576) {
  ASSERT_TRUE(start(WSRELAY_BIN, {"-c", "4", "-L", "1048576"}));
  raw_peer* raw = add_raw("raw");
  ASSERT_TRUE(raw);
  test_process node;
  ASSERT_TRUE(run_node(&node, url("ws"), 5000));
  ASSERT_TRUE(node.wait_out("open\n", 15000)) << node.out << node.err;
  EXPECT_EQ(raw->expect(letters(5000), true, 5000).substr(0, 100), "");
  ASSERT_TRUE(raw->send("back", true));
  ASSERT_TRUE(node.wait_exit(10000)) << node.out << node.err;
  EXPECT_EQ(node.out, "open\ngot\nclose 1000\n") << node.err;
}

// python's websockets pings every half second; the relay does not take a
// ping, and the client must learn so from the close code, within 2 s.
const char* const PYTHON_SCRIPT = R"(
import asyncio, ssl, sys, websockets
async def main(url):
    context = None
    if url.startswith('wss://'):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
    ws = await websockets.connect(url, ssl=context, ping_interval=0.5, open_timeout=10,
                                  close_timeout=3)
    print('open', flush=True)
    try:
        await ws.recv()
        print('message', flush=True)
    except websockets.exceptions.ConnectionClosed as e:
        print('closed %s' % (e.rcvd.code if e.rcvd else '-'), flush=True)
asyncio.run(main(sys.argv[1]))
)";

TEST_F(RelayCloseStatus, PythonWebsocketsPingingIsClosedWithCode1003WithinTwoSeconds) {
  ASSERT_TRUE(add_certificate());
  ASSERT_TRUE(start(WSRELAY_BIN, {"-c", "6"}));
  size_t runs = 0;
  for (const char* scheme : {"ws", "wss"}) {
    for (int run = 0; run < RUNS; ++run) {
      SCOPED_TRACE(std::string(scheme) + " run " + std::to_string(run));
      test_process py;
      ASSERT_TRUE(py.start("/usr/bin/python3", {"python3", "-c", PYTHON_SCRIPT, url(scheme)}));
      ASSERT_TRUE(py.wait_out("open\n", 15000)) << py.out << py.err;
      const uint64_t opened = now_us();
      ASSERT_TRUE(py.wait_exit(5000)) << py.out << py.err;
      EXPECT_LT(now_us() - opened, 2000000u) << "closed late";
      EXPECT_EQ(py.out, "open\nclosed 1003\n") << py.err;
      ++runs;
      ASSERT_TRUE(wait_ends(runs, 5000)) << relay.out();
    }
  }
}

}  // namespace
