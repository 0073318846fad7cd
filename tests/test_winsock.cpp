// The Winsock calls on real loopback connections: results and error
// numbers as a Winsock caller sees them, the wake-ups that closing a socket
// owes to threads blocked on it, whole sends, and the rule that a closed
// SOCKET value never reaches the connection that reuses its descriptor.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/winsock.h"
#include "platform/winsock_table.h"
#include "support/tcp_client.h"

namespace {

using clock_type = std::chrono::steady_clock;

long long ms_since(clock_type::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start).count();
}

void pause_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Waits at most `ms` for `flag`.
bool wait_for(const std::atomic<bool>& flag, int ms) {
  auto start = clock_type::now();
  while (!flag.load() && ms_since(start) < ms) pause_ms(1);
  return flag.load();
}

win::sockaddr_in loopback_address(uint16_t port) {
  win::sockaddr_in a{};
  a.sin_family = win::AF_INET;
  a.sin_port = win::htons(port);
  a.sin_addr.s_addr = win::inet_addr("127.0.0.1");
  return a;
}

int bind_to(SOCKET s, uint16_t port) {
  win::sockaddr_in a = loopback_address(port);
  return win::bind(s, reinterpret_cast<win::sockaddr*>(&a), sizeof a);
}

void set_receive_timeout(SOCKET s, DWORD ms) {
  win::setsockopt(s, win::SOL_SOCKET, win::SO_RCVTIMEO, reinterpret_cast<char*>(&ms), 4);
}

// A listening socket on a free high port of 127.0.0.1.
SOCKET open_listener(uint16_t* port) {
  static std::atomic<unsigned> next{std::random_device{}() % 30000};
  for (int attempt = 0; attempt < 100; ++attempt) {
    SOCKET s = win::socket(win::AF_INET, win::SOCK_STREAM, win::IPPROTO_TCP);
    if (s == INVALID_SOCKET) return INVALID_SOCKET;
    *port = static_cast<uint16_t>(30000 + next.fetch_add(1) % 30000);
    if (bind_to(s, *port) == 0 && win::listen(s, 16) == 0) return s;
    win::closesocket(s);
  }
  return INVALID_SOCKET;
}

struct winsock : ::testing::Test {
  SOCKET listener = INVALID_SOCKET;
  uint16_t port = 0;
  std::vector<int> clients;

  static void SetUpTestSuite() {
    win::WSADATA data;
    ASSERT_EQ(win::WSAStartup(0x0202, &data), 0);
  }
  void SetUp() override {
    listener = open_listener(&port);
    ASSERT_NE(listener, INVALID_SOCKET);
  }
  void TearDown() override {
    win::closesocket(listener);  // may already be closed by the test
    for (int fd : clients) tcp_close(fd);
  }
  // Connects a client and accepts it; the client end goes to *client.
  SOCKET connect_and_accept(int* client) {
    *client = tcp_connect(port);
    if (*client == -1) return INVALID_SOCKET;
    clients.push_back(*client);
    return win::accept(listener, nullptr, nullptr);
  }
  std::string recv_text(SOCKET s, int len, int flags = 0) {
    char buf[256];
    int n = win::recv(s, buf, len, flags);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }
};

TEST(winsock_startup, OnlyVersionTwoTwo) {
  win::WSADATA data;
  memset(&data, 0xAB, sizeof data);
  ASSERT_EQ(win::WSAStartup(0x0202, &data), 0);
  EXPECT_EQ(data.wVersion, 0x0202);
  EXPECT_EQ(win::WSACleanup(), 0);
  for (uint16_t older : {uint16_t{0x0101}, uint16_t{0x0102}, uint16_t{0x0002}})
    EXPECT_EQ(win::WSAStartup(older, &data), WSAVERNOTSUPPORTED) << older;
}

TEST(winsock_address, InetAddrTexts) {
  struct { const char* text; uint32_t host_order; } cases[] = {
      {"127.0.0.1", 0x7F000001},   {"0.0.0.0", 0},          {"10.1.2.3", 0x0A010203},
      {"1.2.3", 0x01020003},       {"1.65535", 0x0100FFFF}, {"0x7f.1", 0x7F000001},
      {"010.0.0.1", 0x08000001},   {"192.168.1.2 ", 0xC0A80102},
      {"", 0xFFFFFFFF},            {"1.2.3.4.5", 0xFFFFFFFF}, {"256.1.1.1", 0xFFFFFFFF},
      {"1..2", 0xFFFFFFFF},        {"localhost", 0xFFFFFFFF}, {"1.2.3.4x", 0xFFFFFFFF},
      {"1.2.3.256", 0xFFFFFFFF},   {"08.1.1.1", 0xFFFFFFFF},  {"1.2.", 0xFFFFFFFF},
  };
  for (auto& c : cases) EXPECT_EQ(win::inet_addr(c.text), win::htonl(c.host_order)) << c.text;
  EXPECT_EQ(win::inet_addr(nullptr), win::INADDR_NONE);
  // Network order is big-endian whatever the machine.
  uint16_t port = win::htons(0x1234);
  uint32_t address = win::htonl(0x7F000001);
  EXPECT_EQ(memcmp(&port, "\x12\x34", 2), 0);
  EXPECT_EQ(memcmp(&address, "\x7F\x00\x00\x01", 4), 0);
  EXPECT_EQ(win::ntohs(port), 0x1234);
}

// Errors that loopback cannot be made to produce, by their system numbers.
TEST(winsock_errors, SystemErrorsBecomeWinsockNumbers) {
  struct { int err; int wsa; } cases[] = {
      {ECONNREFUSED, 10061}, {ECONNRESET, 10054}, {EPIPE, 10054},       {ECONNABORTED, 10053},
      {EBADF, 10038},        {ENOTSOCK, 10038},   {ENOBUFS, 10055},     {ENOMEM, 10055},
      {EADDRINUSE, 10048},   {EACCES, 10013},     {EADDRNOTAVAIL, 10049}, {EINVAL, 10022},
      {EMFILE, 10024},       {ENFILE, 10024},     {ENOTCONN, 10057},    {ETIMEDOUT, 10060},
      {ENETUNREACH, 10051},  {EHOSTUNREACH, 10065}, {EAFNOSUPPORT, 10047},
      {EPROTONOSUPPORT, 10043}, {EOPNOTSUPP, 10045}, {EWOULDBLOCK, 10035},
  };
  for (auto& c : cases) EXPECT_EQ(win::detail::wsa_error_from_errno(c.err), c.wsa) << c.err;
}

TEST_F(winsock, AcceptGivesThePeerAddress) {
  int client = tcp_connect(port);
  ASSERT_NE(client, -1);
  clients.push_back(client);
  win::sockaddr_in peer;
  memset(&peer, 0xAB, sizeof peer);
  int size = sizeof peer;
  SOCKET s = win::accept(listener, reinterpret_cast<win::sockaddr*>(&peer), &size);
  ASSERT_NE(s, INVALID_SOCKET);
  EXPECT_EQ(size, 16);
  EXPECT_EQ(peer.sin_family, win::AF_INET);
  EXPECT_EQ(peer.sin_addr.s_addr, win::inet_addr("127.0.0.1"));
  EXPECT_NE(peer.sin_port, 0);
  EXPECT_EQ(win::closesocket(s), 0);
}

TEST_F(winsock, AddressInUse) {
  SOCKET second = win::socket(win::AF_INET, win::SOCK_STREAM, win::IPPROTO_TCP);
  ASSERT_NE(second, INVALID_SOCKET);
  EXPECT_EQ(bind_to(second, port), SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), WSAEADDRINUSE);
  EXPECT_EQ(win::closesocket(second), 0);
}

TEST_F(winsock, ConnectionRefusedHasItsNumber) {
  EXPECT_EQ(win::closesocket(listener), 0);
  EXPECT_EQ(win::detail::wsa_error_from_errno(tcp_connect_error(port)), WSAECONNREFUSED);
}

TEST_F(winsock, PeerResetAndPeerCloseAsTheReaderSeesThem) {
  int reset_client, closed_client;
  SOCKET reset_end = connect_and_accept(&reset_client);
  SOCKET closed_end = connect_and_accept(&closed_client);
  ASSERT_NE(reset_end, INVALID_SOCKET);
  ASSERT_NE(closed_end, INVALID_SOCKET);
  tcp_reset(reset_client);
  tcp_close(closed_client);
  clients.clear();
  char buf[16];
  EXPECT_EQ(win::recv(reset_end, buf, sizeof buf, 0), SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), WSAECONNRESET);
  EXPECT_EQ(win::recv(closed_end, buf, sizeof buf, 0), 0);
  win::closesocket(reset_end);
  win::closesocket(closed_end);
}

TEST_F(winsock, ReceiveTimeOutIsTimedOutAndZeroClearsIt) {
  int client;
  SOCKET s = connect_and_accept(&client);
  ASSERT_NE(s, INVALID_SOCKET);
  DWORD ms = 200;
  ASSERT_EQ(win::setsockopt(s, win::SOL_SOCKET, win::SO_RCVTIMEO, reinterpret_cast<char*>(&ms), 4), 0);
  char buf[16];
  auto start = clock_type::now();
  EXPECT_EQ(win::recv(s, buf, sizeof buf, 0), SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), WSAETIMEDOUT);
  EXPECT_GE(ms_since(start), 150);
  EXPECT_LT(ms_since(start), 2000);

  // 0: no time-out; the read waits for data that comes later than 200 ms.
  ms = 0;
  ASSERT_EQ(win::setsockopt(s, win::SOL_SOCKET, win::SO_RCVTIMEO, reinterpret_cast<char*>(&ms), 4), 0);
  std::thread late([&] { pause_ms(400); tcp_send_all(client, "late", 4); });
  start = clock_type::now();
  EXPECT_EQ(recv_text(s, sizeof buf), "late");
  EXPECT_GE(ms_since(start), 300);
  late.join();
  win::closesocket(s);
}

TEST_F(winsock, PeekLeavesTheBytes) {
  int client;
  SOCKET s = connect_and_accept(&client);
  ASSERT_NE(s, INVALID_SOCKET);
  ASSERT_TRUE(tcp_send_all(client, "hello", 5));
  EXPECT_EQ(recv_text(s, 16, win::MSG_PEEK), "hello");
  EXPECT_EQ(recv_text(s, 3, win::MSG_PEEK), "hel");
  EXPECT_EQ(recv_text(s, 16), "hello");
  win::closesocket(s);
}

TEST_F(winsock, OptionsTheRelaySets) {
  int client;
  SOCKET s = connect_and_accept(&client);
  ASSERT_NE(s, INVALID_SOCKET);
  struct { int level, name, value; } options[] = {
      {win::SOL_SOCKET, win::SO_RCVBUF, 4096},  {win::SOL_SOCKET, win::SO_SNDBUF, 8192},
      {win::SOL_SOCKET, win::SO_REUSEADDR, 1},  {win::SOL_SOCKET, win::SO_KEEPALIVE, 1},
      {win::SOL_SOCKET, win::SO_RCVTIMEO, 500}, {win::IPPROTO_TCP, win::TCP_NODELAY, 1},
      {win::IPPROTO_TCP, win::TCP_KEEPALIVE, 75},
  };
  for (auto& o : options)
    EXPECT_EQ(win::setsockopt(s, o.level, o.name, reinterpret_cast<char*>(&o.value), 4), 0)
        << o.level << "/" << o.name << " error " << win::WSAGetLastError();
  // The keep-alive idle time comes with Windows' probing: every second, ten times.
  win::detail::socket_hold hold;
  ASSERT_TRUE(win::detail::socket_acquire(s, &hold));
  tcp_keepalive k = tcp_keepalive_of(hold.fd);
  win::detail::socket_release(&hold);
  EXPECT_EQ(k.idle_s, 75);
  EXPECT_EQ(k.interval_s, 1);
  EXPECT_EQ(k.probes, 10);
  int one = 1;
  EXPECT_EQ(win::setsockopt(s, win::SOL_SOCKET, 0x0080 /* SO_LINGER */, reinterpret_cast<char*>(&one), 4),
            SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), WSAENOPROTOOPT);
  EXPECT_EQ(win::setsockopt(s, 41 /* IPPROTO_IPV6 */, 1, reinterpret_cast<char*>(&one), 4), SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), WSAENOPROTOOPT);
  EXPECT_EQ(win::setsockopt(s, win::SOL_SOCKET, win::SO_KEEPALIVE, reinterpret_cast<char*>(&one), 2),
            SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), WSAEFAULT);
  win::closesocket(s);
}

TEST_F(winsock, SelectWaitsForDataOrTheTimeOut) {
  int client;
  SOCKET s = connect_and_accept(&client);
  ASSERT_NE(s, INVALID_SOCKET);
  win::fd_set readable{1, {s}};
  win::timeval wait{0, 150'000};
  auto start = clock_type::now();
  EXPECT_EQ(win::select(0, &readable, nullptr, nullptr, &wait), 0);
  EXPECT_EQ(readable.fd_count, 0u);
  EXPECT_GE(ms_since(start), 120);

  ASSERT_TRUE(tcp_send_all(client, "x", 1));
  readable = {1, {s}};
  win::fd_set writable{1, {s}};
  win::fd_set errors{1, {s}};
  EXPECT_EQ(win::select(0, &readable, &writable, &errors, nullptr), 2);
  EXPECT_EQ(readable.fd_count, 1u);
  EXPECT_EQ(writable.fd_count, 1u);
  EXPECT_EQ(errors.fd_count, 0u);

  EXPECT_EQ(win::select(0, nullptr, nullptr, nullptr, nullptr), SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), WSAEINVAL);
  win::closesocket(s);
  writable = {1, {s}};
  EXPECT_EQ(win::select(0, nullptr, &writable, nullptr, nullptr), SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), WSAENOTSOCK);
}

// closesocket() and shutdown() from another thread end a blocked accept()
// as an interrupted call, the way the relay's readers are stopped.
TEST_F(winsock, CancellingTheListenerWakesABlockedAccept) {
  for (bool by_close : {false, true}) {
    SCOPED_TRACE(by_close ? "closesocket" : "shutdown");
    if (listener == INVALID_SOCKET) listener = open_listener(&port);
    std::atomic<bool> done{false};
    SOCKET accepted = 0;
    int error = 0;
    std::thread waiter([&] {
      accepted = win::accept(listener, nullptr, nullptr);
      error = win::WSAGetLastError();
      done.store(true);
    });
    pause_ms(100);  // let it block
    int cancelled = by_close ? win::closesocket(listener) : win::shutdown(listener, win::SD_BOTH);
    EXPECT_EQ(cancelled, 0);
    EXPECT_TRUE(wait_for(done, 3000));
    waiter.join();
    EXPECT_EQ(accepted, INVALID_SOCKET);
    EXPECT_EQ(error, WSAEINTR);
    if (!by_close) {
      EXPECT_EQ(win::closesocket(listener), 0);
    }
    // Further calls on the closed listener name no socket.
    EXPECT_EQ(win::accept(listener, nullptr, nullptr), INVALID_SOCKET);
    EXPECT_EQ(win::WSAGetLastError(), WSAENOTSOCK);
    listener = INVALID_SOCKET;
  }
}

TEST_F(winsock, CancellingAConnectionWakesABlockedRecv) {
  for (bool by_close : {false, true}) {
    SCOPED_TRACE(by_close ? "closesocket" : "shutdown");
    int client;
    SOCKET s = connect_and_accept(&client);
    ASSERT_NE(s, INVALID_SOCKET);
    std::atomic<bool> done{false};
    int got = 1;
    std::thread reader([&] {
      char buf[16];
      got = win::recv(s, buf, sizeof buf, 0);
      done.store(true);
    });
    pause_ms(100);
    int cancelled = by_close ? win::closesocket(s) : win::shutdown(s, win::SD_BOTH);
    EXPECT_EQ(cancelled, 0);
    EXPECT_TRUE(wait_for(done, 3000));
    reader.join();
    EXPECT_LE(got, 0);
    // The peer sees the end of the connection.
    EXPECT_EQ(tcp_read(client, 1, 1000), "");
    if (!by_close) {
      EXPECT_EQ(win::closesocket(s), 0);
    }
  }
}

TEST_F(winsock, SendToAPeerThatHasGoneIsResetAndRaisesNoSignal) {
  for (bool by_reset : {false, true}) {
    SCOPED_TRACE(by_reset ? "peer reset" : "peer closed");
    int client;
    SOCKET s = connect_and_accept(&client);
    ASSERT_NE(s, INVALID_SOCKET);
    if (by_reset) tcp_reset(client);
    else tcp_close(client);
    clients.pop_back();
    // The first send after a close may still be taken; the peer's reset
    // then fails the next one (a system send would raise SIGPIPE there).
    int result = 0;
    for (int i = 0; i < 100 && result != SOCKET_ERROR; ++i) {
      result = win::send(s, "data", 4, 0);
      if (result != SOCKET_ERROR) pause_ms(5);
    }
    EXPECT_EQ(result, SOCKET_ERROR);
    EXPECT_EQ(win::WSAGetLastError(), WSAECONNRESET);
    win::closesocket(s);
  }
}

void ignore_signal(int) {}

// A blocking send sends every byte, in order, to a reader that takes them
// slowly, also while signals keep interrupting it; a blocked recv is not
// ended by a signal either.
TEST_F(winsock, BlockingCallsCompleteThroughSlowPeersAndSignals) {
  struct sigaction action{}, previous{};
  action.sa_handler = ignore_signal;  // no SA_RESTART: calls see EINTR
  sigaction(SIGUSR1, &action, &previous);

  int client;
  SOCKET s = connect_and_accept(&client);
  ASSERT_NE(s, INVALID_SOCKET);
  // Small buffers at both ends: the send cannot be taken at once.
  tcp_set_rcvbuf(client, 65536);
  int sndbuf = 65536;
  win::setsockopt(s, win::SOL_SOCKET, win::SO_SNDBUF, reinterpret_cast<char*>(&sndbuf), 4);

  std::vector<char> data(2 << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + (i >> 12));
  std::atomic<bool> done{false};
  int sent = 0;
  pthread_t sender_id{};
  std::atomic<bool> started{false};
  std::thread sender([&] {
    sender_id = pthread_self();
    started.store(true);
    sent = win::send(s, data.data(), static_cast<int>(data.size()), 0);
    done.store(true);
  });
  ASSERT_TRUE(wait_for(started, 2000));
  std::string got;
  while (got.size() < data.size()) {
    std::string piece = tcp_read(client, 32768, 3000);
    if (piece.empty()) break;
    got += piece;
    if (!done.load()) pthread_kill(sender_id, SIGUSR1);
  }
  sender.join();
  EXPECT_EQ(sent, static_cast<int>(data.size()));
  ASSERT_EQ(got.size(), data.size());
  EXPECT_TRUE(memcmp(got.data(), data.data(), data.size()) == 0);

  std::atomic<bool> read_done{false};
  std::string received;
  pthread_t reader_id{};
  started.store(false);
  std::thread reader([&] {
    reader_id = pthread_self();
    started.store(true);
    received = recv_text(s, 16);
    read_done.store(true);
  });
  ASSERT_TRUE(wait_for(started, 2000));
  for (int i = 0; i < 5; ++i) {
    pause_ms(20);
    pthread_kill(reader_id, SIGUSR1);
  }
  EXPECT_FALSE(read_done.load());
  tcp_send_all(client, "after", 5);
  reader.join();
  EXPECT_EQ(received, "after");
  win::closesocket(s);
  sigaction(SIGUSR1, &previous, nullptr);
}

// Every call with a SOCKET value after its closesocket() fails with
// WSAENOTSOCK and leaves alone the connection that now has its descriptor.
TEST_F(winsock, ClosedSocketValueNeverReachesTheNextConnection) {
  int first_client;
  SOCKET old_value = connect_and_accept(&first_client);
  ASSERT_NE(old_value, INVALID_SOCKET);
  // The next client's own descriptor is taken first, so that the accepted
  // socket gets the one closesocket() gives back.
  int client = tcp_connect(port);
  ASSERT_NE(client, -1);
  clients.push_back(client);
  ASSERT_EQ(win::closesocket(old_value), 0);
  SOCKET s = win::accept(listener, nullptr, nullptr);
  ASSERT_NE(s, INVALID_SOCKET);
  ASSERT_EQ(static_cast<uint32_t>(s), static_cast<uint32_t>(old_value)) << "descriptor not reused";
  ASSERT_NE(s, old_value);
  set_receive_timeout(s, 2000);  // a stolen byte fails the test instead of hanging it
  ASSERT_TRUE(tcp_send_all(client, "ping", 4));

  char buf[16];
  int one = 1;
  win::fd_set set{1, {old_value}};
  win::timeval short_wait{0, 100'000};
  win::sockaddr_in address = loopback_address(port);
  int results[] = {
      win::recv(old_value, buf, sizeof buf, 0),
      win::recv(old_value, buf, sizeof buf, win::MSG_PEEK),
      win::send(old_value, "old", 3, 0),
      win::setsockopt(old_value, win::SOL_SOCKET, win::SO_RCVTIMEO, reinterpret_cast<char*>(&one), 4),
      win::select(0, &set, nullptr, nullptr, &short_wait),
      win::bind(old_value, reinterpret_cast<win::sockaddr*>(&address), sizeof address),
      win::listen(old_value, 1),
      win::shutdown(old_value, win::SD_BOTH),
      win::closesocket(old_value),
  };
  for (size_t i = 0; i < std::size(results); ++i) {
    EXPECT_EQ(results[i], SOCKET_ERROR) << "call " << i;
  }
  EXPECT_EQ(win::WSAGetLastError(), WSAENOTSOCK);
  EXPECT_EQ(win::accept(old_value, nullptr, nullptr), INVALID_SOCKET);
  EXPECT_EQ(win::WSAGetLastError(), WSAENOTSOCK);

  // The new connection kept its data, its options and both directions.
  EXPECT_EQ(recv_text(s, sizeof buf), "ping");
  EXPECT_EQ(win::send(s, "pong", 4, 0), 4);
  EXPECT_EQ(tcp_read(client, 16, 200), "pong");
  EXPECT_EQ(tcp_read(first_client, 1, 1000), "");  // the old one ended
  win::closesocket(s);
}

TEST_F(winsock, StaleCallsFromAnotherThreadNeverReachTheNextConnection) {
  int reused = 0;
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    int old_client;
    SOCKET old_value = connect_and_accept(&old_client);
    ASSERT_NE(old_value, INVALID_SOCKET);
    std::atomic<bool> closed{false}, stop{false};
    std::atomic<int> late_successes{0};
    std::thread stale([&] {
      char buf[8];
      while (!stop.load()) {
        bool after_close = closed.load();
        int results[] = {win::send(old_value, "old", 3, 0), win::recv(old_value, buf, sizeof buf, 0),
                         after_close ? win::shutdown(old_value, win::SD_BOTH) : SOCKET_ERROR,
                         after_close ? win::closesocket(old_value) : SOCKET_ERROR};
        for (int r : results)
          if (after_close && r != SOCKET_ERROR) late_successes.fetch_add(1);
      }
    });
    int client = tcp_connect(port);
    ASSERT_NE(client, -1);
    pause_ms(2);
    ASSERT_EQ(win::closesocket(old_value), 0);
    closed.store(true);
    SOCKET s = win::accept(listener, nullptr, nullptr);
    ASSERT_NE(s, INVALID_SOCKET);
    if (static_cast<uint32_t>(s) == static_cast<uint32_t>(old_value)) ++reused;
    set_receive_timeout(s, 2000);

    ASSERT_TRUE(tcp_send_all(client, "new!", 4));
    EXPECT_EQ(recv_text(s, 4), "new!");
    EXPECT_EQ(win::send(s, "ack", 3, 0), 3);
    EXPECT_EQ(tcp_read(client, 16, 30), "ack");
    stop.store(true);
    stale.join();
    EXPECT_EQ(late_successes.load(), 0);
    // Still open both ways after all the stale shutdowns and closes.
    ASSERT_TRUE(tcp_send_all(client, "more", 4));
    EXPECT_EQ(recv_text(s, 4), "more");
    EXPECT_EQ(win::send(s, "ok", 2, 0), 2);
    EXPECT_EQ(tcp_read(client, 2, 1000), "ok");
    EXPECT_EQ(win::closesocket(s), 0);
    tcp_close(old_client);
    tcp_close(client);
    clients.clear();
  }
  EXPECT_GT(reused, 0) << "no round reused a descriptor; the test proved nothing";
}

TEST_F(winsock, RefusedSocketKinds) {
  EXPECT_EQ(win::socket(23 /* AF_INET6 */, win::SOCK_STREAM, 0), INVALID_SOCKET);
  EXPECT_EQ(win::WSAGetLastError(), WSAEAFNOSUPPORT);
  EXPECT_EQ(win::socket(win::AF_INET, 3 /* SOCK_RAW */, 0), INVALID_SOCKET);
  EXPECT_EQ(win::WSAGetLastError(), WSAESOCKTNOSUPPORT);
  EXPECT_EQ(win::recv(INVALID_SOCKET, nullptr, 0, 0), SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), WSAENOTSOCK);
}

}  // namespace
