// The teardown of slots whose threads are still inside a connection, which
// the relay's own sequence never reaches: the threads are made to end and
// are joined, none is killed while it holds anything, and the clients see
// their connections closed.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/atomic.h"
#include "platform/winsock.h"
#include "relay/globals.h"
#include "relay/task.h"
#include "support/client.h"
#include "support/port.h"
#include "support/fd_capture.h"

namespace {

constexpr uint16_t SLOTS = 2;
constexpr uint64_t L = 4096;

bool wait_until(bool (*done)(), int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

TEST(RelayTeardown, SlotsInTheMiddleOfAConnectionEndTheirThreadsAndReturn) {
  win::WSADATA wsa;
  ASSERT_EQ(win::WSAStartup(0x0202, &wsa), 0);
  static QOR_TASK slots[SLOTS];
  std::vector<uint8_t> pool(SLOTS * 3 * L);
  tasks = slots;
  cw_connections = SLOTS;
  packet_length = L;
  so_sndbuf = 2 * L;
  thread_stack_size = 1 << 20;

  // A port free a moment ago may be taken by another test's connection
  // before the bind: a few are tried.
  uint16_t port = 0;
  SOCKET so = INVALID_SOCKET;
  for (int attempt = 0; attempt < 5 && so == INVALID_SOCKET; ++attempt) {
    port = free_port();
    so = win::socket(win::AF_INET, win::SOCK_STREAM, win::IPPROTO_TCP);
    win::sockaddr_in addr{};
    addr.sin_family = win::AF_INET;
    addr.sin_port = win::htons(port);
    if (port == 0 || win::bind(so, reinterpret_cast<win::sockaddr*>(&addr), sizeof addr) != 0) {
      win::closesocket(so);
      so = INVALID_SOCKET;
    }
  }
  ASSERT_NE(so, INVALID_SOCKET);
  ASSERT_EQ(win::listen(so, SLOTS), 0);
  so_listen = so;

  // The relay's console goes to a file until the teardown is over; the
  // test's own report only after that.
  auto out = std::make_unique<fd_capture>(1);
  for (uint16_t i = 0; i < SLOTS; ++i) {
    QOR_TASK* t = task_init(&slots[i]);
    t->not_quiet = true;
    t->write = true;
    t->pRAM = pool.data() + 3 * L * i;
    t->p_send_base = t->p_send_next = t->pRAM + L;
    t->send_buffer_size = L;
    task_start(t);
  }
  for (QOR_TASK& t : slots) event_signal(&t.event_r);
  relay_client a, b;
  bool connected = a.connect(port) && b.connect(port);
  bool set_up =
      connected && wait_until([] { return a_load(slots[0].ready) && a_load(slots[1].ready); }, 10000);

  // Both readers wait in their reads, both writers for packets.
  auto teardown = std::async(std::launch::async, [] {
    for (int i = SLOTS - 1; i >= 0; --i) task_close(&slots[i]);
  });
  bool returned = teardown.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  std::string text = out->text();
  out.reset();

  ASSERT_TRUE(set_up) << text;
  ASSERT_TRUE(returned) << "the teardown hangs\n" << text;
  // Whether a slot is still `working` when its turn comes depends on how
  // fast its reader saw its stream released; either way its connection
  // ends, and a forced end is announced with the slot's number.
  auto count = [&](const std::regex& r) {
    return std::distance(std::sregex_iterator(text.begin(), text.end(), r), std::sregex_iterator());
  };
  EXPECT_EQ(count(std::regex(":: server_0[01]\\.fin  active 0[01]/02\n")), 2) << text;
  EXPECT_EQ(count(std::regex("server_terminate")),
            count(std::regex(":: server_terminate_r\\( [01]\\)\n"))) << text;
  for (const QOR_TASK& t : slots) {
    EXPECT_FALSE(t.reader.started);
    EXPECT_FALSE(t.writer.started);
    EXPECT_FALSE(t.event_packet.valid);
    EXPECT_FALSE(t.event_send_free.valid);
  }
  EXPECT_EQ(a_load(so_listen), INVALID_SOCKET);
  EXPECT_TRUE(a.wait_closed(5000));
  EXPECT_TRUE(b.wait_closed(5000));
}

}  // namespace
