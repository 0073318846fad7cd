// Slots serve one connection after another. Many short connections on the
// same slots, while other clients send all the time: no receiver may get
// what was relayed to the connection before it, no connection may be ended
// by the end of an earlier one, and the long-lived clients lose nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/client.h"
#include "support/records.h"
#include "support/running_relay.h"

namespace {

// How much older than its connect a record may be: the relay relays what it
// has read, and while a short client stops reading the senders wait.
constexpr uint64_t LATE_US = 750000;
constexpr auto RUN_TIME = std::chrono::milliseconds(2000);
constexpr int CHURNERS = 4;

struct failures {
  std::mutex lock;
  std::vector<std::string> list;
  void add(const std::string& what) {
    std::lock_guard<std::mutex> hold(lock);
    if (list.size() < 20) list.push_back(what);
  }
};

// One short connection. Modes: read then close; read then reset; read,
// stop reading with a small buffer, reset; reset right after the hello.
void short_connection(uint16_t port, int mode, failures* f) {
  relay_client c;
  if (!c.connect(port, mode == 2 ? 2048 : 0)) {
    f->add("connect failed");
    return;
  }
  record_checker check;
  auto read_for = [&](int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      check.feed(c.read(1 << 16, 5));
      if (c.peer_closed) {
        f->add("the relay ended a connection that was in use");
        return;
      }
    }
  };
  if (mode != 3) read_for(mode == 2 ? 10 : 40);
  if (mode == 2) std::this_thread::sleep_for(std::chrono::milliseconds(40));
  if (mode == 0)
    c.close();
  else
    c.reset();
  for (const std::string& e : check.errors) f->add(e);
  const uint64_t connected = c.connect_us & 0xFFFFFFFFFFFFull;   // stamps have 48 bits
  for (int tag = 1; tag <= 2; ++tag) {
    const auto& s = check.senders[tag];
    if (s.records > 0 && s.oldest_stamp + LATE_US < connected)
      f->add("a record sent " + std::to_string((connected - s.oldest_stamp) / 1000) +
             " ms before the connection reached it");
  }
}

TEST(RelayReuse, ShortConnectionsOnReusedSlotsGetNothingOfTheirPredecessors) {
  running_relay relay;
  ASSERT_TRUE(relay.start(WSRELAY_BIN, {"-c", "6"}));
  relay_client s1, s2;
  ASSERT_TRUE(s1.connect(relay.port));
  ASSERT_TRUE(s2.connect(relay.port));
  ASSERT_TRUE(await_ready({&s1, &s2}, 10000));
  background_reader to_s1(&s1), to_s2(&s2);

  std::atomic<bool> stopping{false};
  std::atomic<uint32_t> sent[3] = {0, 0, 0};
  failures f;
  auto send_steadily = [&](relay_client* c, int tag) {
    while (!stopping.load()) {
      uint32_t first = sent[tag].load();
      if (!c->send_all(make_records(tag, first, 5), 10000)) {
        f.add("a sender was stuck");
        return;
      }
      sent[tag].store(first + 5);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  };
  std::thread send1(send_steadily, &s1, 1), send2(send_steadily, &s2, 2);

  std::atomic<int> connections{0};
  auto end = std::chrono::steady_clock::now() + RUN_TIME;
  std::vector<std::thread> churn;
  for (int i = 0; i < CHURNERS; ++i)
    churn.emplace_back([&, i] {
      for (int n = i; std::chrono::steady_clock::now() < end; ++n) {
        short_connection(relay.port, n % 4, &f);
        connections.fetch_add(1);
      }
    });
  // Keep the relay's console flowing meanwhile.
  while (std::chrono::steady_clock::now() < end) {
    relay.out();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  for (auto& t : churn) t.join();
  stopping.store(true);
  send1.join();
  send2.join();

  for (const std::string& e : f.list) ADD_FAILURE() << e;
  EXPECT_GE(connections.load(), 20);

  // The long-lived clients got every record of each other, in order.
  struct pair_case { background_reader* to; int from; };
  for (pair_case p : {pair_case{&to_s1, 2}, pair_case{&to_s2, 1}}) {
    uint32_t want = sent[p.from].load();
    auto all = [&](const std::string& d) {
      record_checker c;
      c.feed(d);
      return c.records(p.from) >= want;
    };
    EXPECT_TRUE(p.to->wait_for(all, 20000)) << "from " << p.from;
    record_checker check;
    check.feed(p.to->data());
    for (const std::string& e : check.errors) ADD_FAILURE() << e;
    EXPECT_EQ(check.records(p.from), want);
    EXPECT_FALSE(p.to->closed());
  }
  EXPECT_EQ(relay.out().find("!!"), std::string::npos) << relay.out();
  EXPECT_EQ(relay.out().find("ERROR"), std::string::npos) << relay.out();
}

}  // namespace
