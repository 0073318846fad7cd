// A WebSocket client's close while data flows to it: the relay's reply comes
// after whole data frames, is exactly 88 02 03 E8, and the connection then
// ends with nothing behind it, over ws:// and wss://, at the default -L and
// at -L 0. So does the close frame with 1009 that answers a frame too large
// for the buffer, although the rest of that frame is still coming. A client
// that has stopped reading, with the relay's send to it blocked, still has
// its connection ended when it sends a close.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/client.h"
#include "support/peer_set.h"
#include "support/relay_session.h"
#include "support/ws_peers.h"

namespace {

// The set-up that put the reply inside a frame: a client whose receive
// buffer is 4 KiB, and a raw sender whose writes each hold the largest
// payload a frame takes at the default -L (4096 - 10 bytes of header room).
constexpr int SMALL_RCVBUF = 4096;
constexpr size_t WRITE_SIZE = 4086;
constexpr size_t FLOW_BEFORE_CLOSE = 64 * 1024;
constexpr int ROUNDS = 20;
const std::string CLOSE_STATUS_1000("\x03\xE8", 2);
const std::string CLOSE_STATUS_1009("\x03\xF1", 2);
const std::regex FIN(":: server_\\d\\d\\.fin  active \\d\\d/\\d\\d\n");

// Byte k of the raw sender's stream: printable, so it is relayed as text,
// and of period 95, which no frame or write length lines up with.
constexpr int PERIOD = 95;
char stream_byte(uint64_t k) { return char(0x20 + k % PERIOD); }

// Pushes the stream in writes of WRITE_SIZE bytes, never blocking, until
// stopped.
struct pusher {
  relay_client* client;
  std::atomic<bool> stopping{false};
  std::atomic<bool> failed{false};
  std::atomic<uint64_t> sent{0};
  std::thread thread;

  explicit pusher(relay_client* c) : client(c) {
    thread = std::thread([this] { run(); });
  }
  ~pusher() { finish(); }
  void finish() {
    stopping.store(true);
    if (thread.joinable()) thread.join();
  }
  // True once `ms` pass with no byte taken: the relay's send to the
  // recipient is blocked behind it. False when it never stalls in `limit_ms`.
  bool wait_stalled(int ms, int limit_ms) {
    uint64_t end = now_us() + uint64_t(limit_ms) * 1000;
    uint64_t seen = sent.load();
    uint64_t since = now_us();
    while (now_us() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      uint64_t now = sent.load();
      if (now != seen) {
        seen = now;
        since = now_us();
      } else if (now_us() - since >= uint64_t(ms) * 1000) {
        return true;
      }
    }
    return false;
  }

 private:
  void run() {
    std::string block(WRITE_SIZE, '\0');
    uint64_t at = 0;
    while (!stopping.load()) {
      size_t in_block = size_t(at % WRITE_SIZE);
      if (in_block == 0)
        for (size_t i = 0; i < WRITE_SIZE; ++i) block[i] = stream_byte(at + i);
      long n = client->send_now(block.data() + in_block, WRITE_SIZE - in_block);
      if (n < 0) {
        failed.store(true);
        return;
      }
      if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      at += uint64_t(n);
      sent.store(at);
    }
  }
};

// Follows the relayed stream through the frames. Its start is wherever the
// recipient became ready; from there every byte must be the next one.
struct stream_check {
  bool started = false;
  int phase = 0;
  uint64_t bytes = 0;
  std::string error;

  bool data_frame(const ws_in& f) {
    if (f.first != 0x81) return fail("a frame that is no whole text frame: first byte " +
                                     std::to_string(int(f.first)));
    size_t i = 0;
    // The raw sender's hello byte, relayed before its data.
    if (!started)
      while (i < f.payload.size() && uint8_t(f.payload[i]) == HELLO_BYTE) ++i;
    for (; i < f.payload.size(); ++i) {
      char c = f.payload[i];
      if (!started) {
        started = true;
        phase = (uint8_t(c) - 0x20 + PERIOD) % PERIOD;
      }
      if (c != stream_byte(uint64_t(phase)))
        return fail("payload byte " + std::to_string(i) + " of " +
                    std::to_string(f.payload.size()) + " is " + std::to_string(uint8_t(c)) +
                    " after " + std::to_string(bytes) + " good bytes: " +
                    shown(f.payload.substr(i >= 8 ? i - 8 : 0, 24)));
      phase = (phase + 1) % PERIOD;
      ++bytes;
    }
    return true;
  }
  bool fail(const std::string& why) {
    error = why;
    return false;
  }
};

struct RelayClose : relay_session {
  // One round: data flows to a small-buffered WebSocket client, which sends
  // `last` in the middle of it; the relay's close frame carries `status`.
  void close_while_flowing(wire::mode m, const std::string& last, const std::string& status) {
    wire w;
    ASSERT_TRUE(w.connect(relay.port, m, 0, 0, SMALL_RCVBUF));
    ASSERT_TRUE(rfc6455_open(w)) << relay.out();
    relay_client raw;
    ASSERT_TRUE(raw.connect(relay.port));
    pusher push(&raw);

    stream_check check;
    while (check.bytes < FLOW_BEFORE_CLOSE) {
      ws_in f;
      ASSERT_TRUE(read_ws_frame(w, &f, 10000)) << "data stopped after " << check.bytes;
      ASSERT_TRUE(check.data_frame(f)) << check.error;
    }
    // A pause in reading first: the relay's send to this client then waits
    // for room in the middle of a frame when the close comes.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(w.send(last));
    for (;;) {
      ws_in f;
      // Fails also when the connection ends inside a frame: the reply went
      // into its payload, and the frame never completes.
      ASSERT_TRUE(read_ws_frame(w, &f, 10000))
          << "no whole frame and no close reply after " << check.bytes << " bytes";
      if (f.first == 0x88) {
        EXPECT_EQ(f.payload, status);
        break;
      }
      ASSERT_TRUE(check.data_frame(f)) << check.error;
    }
    std::string after = w.read(1, 10000);
    EXPECT_EQ(after, "") << "bytes after the close reply";
    EXPECT_TRUE(w.wait_closed(1000)) << "the connection did not end after the close reply";
    push.finish();
    EXPECT_FALSE(push.failed.load());
    // What the relay still holds from this sender must not reach the next
    // round's client.
    raw.reset();
  }

  void rounds(const std::vector<std::string>& options,
              const std::string& last = ws_frame(0x88, CLOSE_STATUS_1000),
              const std::string& status = CLOSE_STATUS_1000) {
    ASSERT_TRUE(add_certificate());
    ASSERT_TRUE(start(WSRELAY_BIN, options));
    const wire::mode modes[] = {wire::plain, wire::tls};
    for (wire::mode m : modes) {
      for (int round = 0; round < ROUNDS; ++round) {
        SCOPED_TRACE(std::string(m == wire::tls ? "wss" : "ws") + " round " +
                     std::to_string(round));
        size_t ended = relay.matches(FIN);
        close_while_flowing(m, last, status);
        if (HasFatalFailure() || HasNonfatalFailure()) return;
        ASSERT_TRUE(relay.wait_matches(FIN, ended + 2, 10000)) << relay.out();
      }
    }
    EXPECT_EQ(relay.out().find("!!"), std::string::npos) << relay.out();
  }
};

TEST_F(RelayClose, TheReplyFollowsWholeFramesAndEndsTheConnection) {
  rounds({"-c", "4"});
}

TEST_F(RelayClose, TheReplyFollowsWholeFramesAndEndsTheConnectionAtLZero) {
  rounds({"-c", "4", "-L", "0"});
}

// The relay reads the first 4095 bytes, refuses the frame on its header and
// must go on reading the rest: a socket closed with it unread would be reset,
// and the reset would drop the data frames and the close frame queued to the
// client.
TEST_F(RelayClose, The1009CloseFollowsWholeFramesWhileTheRestOfTheFrameComes) {
  rounds({"-c", "4"}, ws_frame(0x82, std::string(5000, 'x')), CLOSE_STATUS_1009);
}

TEST_F(RelayClose, AClientThatStopsReadingHasItsConnectionEndedByItsClose) {
  ASSERT_TRUE(start(WSRELAY_BIN, {"-c", "4"}));
  wire w;
  ASSERT_TRUE(w.connect(relay.port, wire::plain, 0, 0, SMALL_RCVBUF));
  ASSERT_TRUE(rfc6455_open(w)) << relay.out();
  {
    relay_client raw;
    ASSERT_TRUE(raw.connect(relay.port));
    pusher push(&raw);
    // The client reads nothing: the relay's send to it blocks, and so do
    // the raw sender's reads behind it. Its close must still end its
    // connection, which frees the sender and every later client.
    ASSERT_TRUE(push.wait_stalled(500, 20000)) << "the raw sender never stalled";
    size_t ended = relay.matches(FIN);
    ASSERT_TRUE(w.send(ws_frame(0x88, CLOSE_STATUS_1000)));
    EXPECT_TRUE(relay.wait_matches(FIN, ended + 1, 10000))
        << "the closing client's connection did not end:\n" << relay.out();
    push.finish();
  }
  expect_still_serving();
  EXPECT_EQ(relay.out().find("!!"), std::string::npos) << relay.out();
}

}  // namespace
