// The plain stream: the first-bytes check of `open`, reads and writes on the
// socket, and giving the connection up from any thread.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/winsock.h"
#include "stream/tls.h"
#include "support/loopback_pair.h"
#include "support/tcp_client.h"
#include "support/at_once.h"

namespace {

using clock_type = std::chrono::steady_clock;

void set_receive_timeout(SOCKET s, int ms) {
  win::setsockopt(s, win::SOL_SOCKET, win::SO_RCVTIMEO, reinterpret_cast<const char*>(&ms),
                  sizeof ms);
}

class PlainStream : public ::testing::Test {
 protected:
  void SetUp() override {
    tls.init();
    ASSERT_TRUE(pair.open());
  }
  void TearDown() override { tls.close(); }

  // The server end, with the time-out the accept loop gives every connection.
  SOCKET server() {
    SOCKET s = pair.take_server();
    set_receive_timeout(s, 500);
    return s;
  }

  // Reads through the stream until `size` bytes have come (bounded).
  std::string read_stream(size_t size) {
    std::string got;
    uint8_t buf[256];
    for (int i = 0; i < 20 && got.size() < size; ++i) {
      int64_t n = tls.recv(buf, sizeof buf);
      if (n <= 0) break;
      got.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
    }
    return got;
  }

  QOR_TLS tls{};
  loopback_pair pair;
};

struct first_bytes_case {
  const char* name;
  std::string bytes;
  int32_t result;
};

class OpenFirstBytes : public PlainStream, public ::testing::WithParamInterface<first_bytes_case> {};

TEST_P(OpenFirstBytes, PlainConnectionsKeepEveryByte) {
  const first_bytes_case& c = GetParam();
  ASSERT_TRUE(pair.client_send(c.bytes));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));   // all of it has arrived
  SOCKET s = server();

  EXPECT_EQ(tls.open(s), c.result);
  EXPECT_EQ(tls.so, s);   // held whatever the result
  EXPECT_EQ(tls.ssl, nullptr);
  if (c.result == -2) {
    EXPECT_EQ(read_stream(c.bytes.size()), c.bytes);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OpenFirstBytes,
    ::testing::Values(
        // No certificate is loaded here, so a ClientHello cannot become TLS.
        first_bytes_case{"client_hello_without_certificate", std::string("\x16\x03\x01\x02\x00\x01", 6), -1},
        first_bytes_case{"handshake_record_but_not_hello", std::string("\x16\x03\x01\x02\x00\x02", 6), -2},
        first_bytes_case{"get_request", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", -2},
        first_bytes_case{"three_bytes_only", std::string("\x16\x03\x01", 3), -2},
        first_bytes_case{"hello_type_in_seventh_byte", std::string("\x16\x03\x01\x02\x00\x00\x01", 7), -2}),
    [](const ::testing::TestParamInfo<first_bytes_case>& info) { return std::string(info.param.name); });

TEST_F(PlainStream, SilentClientIsPlainAfterTheReceiveTimeout) {
  auto start = clock_type::now();
  EXPECT_EQ(tls.open(server()), -2);
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start);
  EXPECT_EQ(tls.last_recv_error, WSAETIMEDOUT);
  EXPECT_GE(waited.count(), 400);
  EXPECT_LT(waited.count(), 2000);
}

TEST_F(PlainStream, OpenWithoutSocketFails) {
  EXPECT_EQ(tls.open(INVALID_SOCKET), -1);
  EXPECT_EQ(tls.so, INVALID_SOCKET);
}

TEST_F(PlainStream, OrderlyCloseReadsZeroWithoutAnError) {
  ASSERT_TRUE(pair.client_send("x"));
  ASSERT_EQ(tls.open(server()), -2);
  uint8_t buf[16];
  ASSERT_EQ(tls.recv(buf, sizeof buf), 1);
  pair.close_client();
  win::WSASetLastError(WSAETIMEDOUT);   // left over from an earlier call
  EXPECT_EQ(tls.recv(buf, sizeof buf), 0);
  EXPECT_EQ(tls.last_recv_error, 0);
  EXPECT_EQ(win::WSAGetLastError(), 0);
}

TEST_F(PlainStream, ResetReadsFailureWithItsError) {
  ASSERT_TRUE(pair.client_send("x"));
  ASSERT_EQ(tls.open(server()), -2);
  uint8_t buf[16];
  ASSERT_EQ(tls.recv(buf, sizeof buf), 1);
  tcp_reset(pair.client);
  pair.client = -1;
  EXPECT_EQ(tls.recv(buf, sizeof buf), -1);
  EXPECT_EQ(tls.last_recv_error, WSAECONNRESET);
}

TEST_F(PlainStream, SendPutsEveryByteOnTheWire) {
  ASSERT_TRUE(pair.client_send("x"));
  ASSERT_EQ(tls.open(server()), -2);
  std::string data(100000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  auto reader = std::async(std::launch::async, [&] { return tcp_read(pair.client, data.size(), 3000); });
  EXPECT_EQ(tls.send(reinterpret_cast<const uint8_t*>(data.data()), data.size()), 100000);
  EXPECT_EQ(reader.get(), data);
}

TEST_F(PlainStream, SendToResetPeerFailsWithItsError) {
  ASSERT_TRUE(pair.client_send("x"));
  ASSERT_EQ(tls.open(server()), -2);
  tcp_reset(pair.client);
  pair.client = -1;
  const uint8_t byte = 'y';
  int64_t n = 1;
  for (int i = 0; i < 100 && n > 0; ++i) {
    n = tls.send(&byte, 1);
    if (n > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(n, -1);
  EXPECT_TRUE(tls.last_send_error == WSAECONNRESET || tls.last_send_error == WSAECONNABORTED)
      << tls.last_send_error;
}

TEST_F(PlainStream, ReleaseClosesTheSocketOnceAndThenReadsFail) {
  ASSERT_EQ(tls.open(server()), -2);
  tls.release_stream();
  EXPECT_EQ(tls.so, INVALID_SOCKET);
  EXPECT_EQ(tcp_read(pair.client, 1, 1000), "");   // the peer sees the end
  tls.release_stream();                              // holds nothing: no change
  EXPECT_EQ(tls.so, INVALID_SOCKET);

  uint8_t buf[16];
  EXPECT_EQ(tls.recv(buf, sizeof buf), -1);
  EXPECT_EQ(tls.last_recv_error, WSAENOTSOCK);
}

TEST_F(PlainStream, ReleaseByManyThreadsAtOnce) {
  ASSERT_EQ(tls.open(server()), -2);
  run_at_once(8, [&] { tls.release_stream(); });
  EXPECT_EQ(tls.so, INVALID_SOCKET);
  EXPECT_EQ(tcp_read(pair.client, 1, 1000), "");
}

TEST_F(PlainStream, ReleaseOnFreshStreamDoesNothing) {
  tls.release_stream();
  EXPECT_EQ(tls.so, INVALID_SOCKET);
  EXPECT_EQ(tls.ssl, nullptr);
  EXPECT_EQ(tls.refs, 0);
}

TEST_F(PlainStream, ReleaseEndsARecvBlockedInAnotherThread) {
  ASSERT_TRUE(pair.client_send("x"));
  SOCKET s = server();
  ASSERT_EQ(tls.open(s), -2);
  set_receive_timeout(s, 0);
  uint8_t first[1];
  ASSERT_EQ(tls.recv(first, 1), 1);
  auto reader = std::async(std::launch::async, [&] {
    uint8_t buf[16];
    return tls.recv(buf, sizeof buf);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  tls.release_stream();
  ASSERT_EQ(reader.wait_for(std::chrono::seconds(3)), std::future_status::ready);
  EXPECT_LE(reader.get(), 0);
}

TEST_F(PlainStream, CloseWakesAThreadWaitingOnTheLock) {
  ASSERT_EQ(event_wait(&tls.lock), 0);   // taken
  auto waiter = std::async(std::launch::async, [&] { return event_wait(&tls.lock); });
  EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  tls.close();
  ASSERT_EQ(waiter.wait_for(std::chrono::seconds(3)), std::future_status::ready);
  EXPECT_EQ(waiter.get(), EVENT_INVALID);
  EXPECT_FALSE(tls.lock.valid);
}

// The connection's last bytes (a WebSocket close reply) while another thread
// may be sending: held send_lock stands for that thread's send under way.
TEST_F(PlainStream, LastSendFollowsTheSendUnderWayAndNothingFollowsIt) {
  ASSERT_TRUE(pair.client_send("x"));
  ASSERT_EQ(tls.open(server()), -2);
  ASSERT_EQ(event_wait(&tls.send_lock), 0);
  auto last = std::async(std::launch::async, [&] {
    return tls.send_last(reinterpret_cast<const uint8_t*>("bye!"), 4);
  });
  EXPECT_EQ(last.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  EXPECT_EQ(pair.client_read_available(30), "") << "went out inside the send under way";
  event_signal(&tls.send_lock);
  ASSERT_EQ(last.wait_for(std::chrono::seconds(3)), std::future_status::ready);
  EXPECT_EQ(last.get(), 4);
  EXPECT_EQ(pair.client_read(4, 1000), "bye!");

  // A packet staged before the last bytes fails without reaching the wire.
  win::WSASetLastError(0);
  EXPECT_EQ(tls.send(reinterpret_cast<const uint8_t*>("late"), 4), -1);
  EXPECT_EQ(win::WSAGetLastError(), WSAECONNABORTED);
  EXPECT_EQ(tls.last_send_error, WSAECONNABORTED);
  EXPECT_EQ(pair.client_read_available(50), "");

  // The next connection sends again.
  loopback_pair next;
  ASSERT_TRUE(next.open());
  ASSERT_TRUE(next.client_send("x"));
  SOCKET s = next.take_server();
  set_receive_timeout(s, 500);
  ASSERT_EQ(tls.open(s), -2);
  EXPECT_EQ(tls.send(reinterpret_cast<const uint8_t*>("again"), 5), 5);
  EXPECT_EQ(next.client_read(5, 1000), "again");
}

// A send that never ends (its client reads nothing) must not hold the last
// send for ever: it gives up, sends nothing, and still ends sending.
TEST_F(PlainStream, LastSendGivesUpOnASendThatDoesNotEnd) {
  ASSERT_TRUE(pair.client_send("x"));
  ASSERT_EQ(tls.open(server()), -2);
  ASSERT_EQ(event_wait(&tls.send_lock), 0);
  auto start = clock_type::now();
  auto last = std::async(std::launch::async, [&] {
    return tls.send_last(reinterpret_cast<const uint8_t*>("bye!"), 4);
  });
  ASSERT_EQ(last.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(last.get(), -1);
  EXPECT_GE(clock_type::now() - start, std::chrono::milliseconds(500));
  event_signal(&tls.send_lock);
  EXPECT_EQ(tls.send(reinterpret_cast<const uint8_t*>("late"), 4), -1);
  EXPECT_EQ(tls.last_send_error, WSAECONNABORTED);
  EXPECT_EQ(pair.client_read_available(50), "");
}

// After the last bytes the stream lingers: FIN goes right behind them, and
// what the client still sends (here first the byte that `open` only peeked
// at) is dropped until the client closes, the stream is released, or the
// bound of about 2 s passes.
TEST_F(PlainStream, LingerDropsWhatComesUntilTheClientClosesTheReleaseOrItsBound) {
  enum ending { client_closes, released, bound };
  struct linger_case {
    const char* what;
    ending how;
    std::chrono::milliseconds at_least;
    std::chrono::milliseconds at_most;
  };
  using ms = std::chrono::milliseconds;
  const linger_case cases[] = {
      {"the client sends on, then closes", client_closes, ms(0), ms(1000)},
      {"another thread releases the stream", released, ms(0), ms(1000)},
      {"the client stays silent and open", bound, ms(1900), ms(4000)},
  };
  for (const linger_case& c : cases) {
    SCOPED_TRACE(c.what);
    loopback_pair p;
    ASSERT_TRUE(p.open());
    ASSERT_TRUE(p.client_send("x"));
    SOCKET s = p.take_server();
    set_receive_timeout(s, 500);
    ASSERT_EQ(tls.open(s), -2);
    ASSERT_EQ(tls.send_last(reinterpret_cast<const uint8_t*>("bye!"), 4), 4);
    uint8_t dropped[4096];
    auto start = clock_type::now();
    auto lingering = std::async(std::launch::async, [&] { tls.linger(dropped, sizeof dropped); });
    EXPECT_EQ(p.client_read(8, 3000), "bye!");
    EXPECT_LT(clock_type::now() - start, ms(1000)) << "no FIN behind the last bytes";
    if (c.how == client_closes) {
      EXPECT_TRUE(p.client_send(std::string(256 * 1024, 'm')));
      p.close_client();
    } else if (c.how == released) {
      std::this_thread::sleep_for(ms(50));
      tls.release_stream();
    }
    ASSERT_EQ(lingering.wait_for(std::chrono::seconds(6)), std::future_status::ready);
    auto took = clock_type::now() - start;
    EXPECT_GE(took, c.at_least);
    EXPECT_LE(took, c.at_most);
    EXPECT_EQ(tls.recv_deadline, 0u) << "the set-up's deadline left behind";
  }
}

TEST(FreshStream, StartsWithNothingAndAnOpenLock) {
  QOR_TLS tls{};
  tls.init();
  EXPECT_EQ(tls.so, INVALID_SOCKET);
  EXPECT_EQ(tls.ssl, nullptr);
  EXPECT_EQ(tls.rbio, nullptr);
  EXPECT_EQ(tls.wbio, nullptr);
  EXPECT_EQ(tls.refs, 0);
  EXPECT_EQ(tls.status, 0);
  EXPECT_TRUE(tls.lock.valid);
  EXPECT_EQ(event_wait(&tls.lock), 0);   // created set: taken at once
  tls.close();
  tls.close();   // a second close changes nothing
  EXPECT_FALSE(tls.lock.valid);
}

}  // namespace
