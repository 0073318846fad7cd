// Clients that leave in the middle of a stream, and a client that stops
// reading: each affects only its own connection and, while it does not read,
// the senders that relay to it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "support/client.h"
#include "support/records.h"
#include "support/running_relay.h"

namespace {

// Sends records of `tag` in small bursts until told to stop.
struct steady_sender {
  relay_client* client;
  int tag;
  std::atomic<bool> stopping{false};
  std::atomic<uint32_t> sent{0};
  std::atomic<bool> failed{false};
  std::thread thread;

  steady_sender(relay_client* c, int t) : client(c), tag(t) {
    thread = std::thread([this] {
      while (!stopping.load()) {
        uint32_t first = sent.load();
        if (!client->send_all(make_records(tag, first, 10), 10000)) {
          failed.store(true);
          return;
        }
        sent.store(first + 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  ~steady_sender() { finish(); }
  void finish() {
    stopping.store(true);
    if (thread.joinable()) thread.join();
  }
};

size_t data_size(const std::string& d) { return without_control(d).size(); }

TEST(RelayDisconnect, AClientThatClosesOrResetsMidStreamEndsOnlyItsOwnConnection) {
  running_relay relay;
  ASSERT_TRUE(relay.start(WSRELAY_BIN, {"-c", "4"}));
  relay_client a, b;
  ASSERT_TRUE(a.connect(relay.port));
  ASSERT_TRUE(b.connect(relay.port));
  ASSERT_TRUE(await_ready({&a, &b}, 10000));
  background_reader to_a(&a), to_b(&b);
  steady_sender from_a(&a, 1);

  struct leaver { const char* what; int tag; bool reset; };   // tag 0: only receives
  const leaver cases[] = {
      {"receiver closes", 0, false}, {"receiver resets", 0, true},
      {"sender closes", 2, false},   {"sender resets", 3, true},
  };
  std::regex fin(":: server_0[0-3]\\.fin  active 02/04\n");
  size_t ended = 0;
  uint32_t closing_sender_records = 0;
  for (const leaver& l : cases) {
    SCOPED_TRACE(l.what);
    relay_client v;
    ASSERT_TRUE(v.connect(relay.port));
    // Set up once a's stream reaches it.
    ASSERT_FALSE(v.read(1, 10000).empty());
    uint32_t seq = 0;
    for (int i = 0; i < 20; ++i) {
      if (l.tag != 0) {
        ASSERT_TRUE(v.send_all(make_records(l.tag, seq, 25), 5000));
      }
      seq += 25;
      v.read(1 << 16, 5);
    }
    if (l.tag == 2) closing_sender_records = seq;
    if (l.reset)
      v.reset();
    else
      v.close_in_order(10000);
    ASSERT_TRUE(relay.wait_matches(fin, ++ended, 10000)) << relay.out();
  }

  from_a.finish();
  ASSERT_FALSE(from_a.failed.load());
  const uint32_t from_a_records = from_a.sent.load();
  auto all_of_a = [&](const std::string& d) {
    record_checker c;
    c.feed(d);
    return c.records(1) >= from_a_records;
  };
  ASSERT_TRUE(to_b.wait_for(all_of_a, 20000));
  record_checker check;
  check.feed(to_b.data());
  for (const std::string& e : check.errors) ADD_FAILURE() << e;
  EXPECT_EQ(check.records(1), from_a_records);
  EXPECT_EQ(check.senders[1].first_seq, 0u);
  EXPECT_EQ(check.records(2), closing_sender_records);   // a close loses nothing

  EXPECT_FALSE(to_a.closed());
  EXPECT_FALSE(to_b.closed());
  // 10053 and 10054 are ordinary ends; nothing else failed.
  EXPECT_EQ(relay.out().find("!!"), std::string::npos) << relay.out();
  EXPECT_EQ(relay.out().find("ERROR"), std::string::npos) << relay.out();
}

TEST(RelayDisconnect, ARecipientThatStopsReadingHoldsUpItsSendersUntilItLeaves) {
  running_relay relay;
  ASSERT_TRUE(relay.start(WSRELAY_BIN, {"-c", "4"}));
  relay_client a, b, stalled;
  ASSERT_TRUE(a.connect(relay.port, 0, 8192));
  ASSERT_TRUE(b.connect(relay.port));
  ASSERT_TRUE(stalled.connect(relay.port, 4096));
  ASSERT_TRUE(await_ready({&a, &b, &stalled}, 10000));
  background_reader to_b(&b);

  // Send until the relay stops taking a's bytes for a while.
  constexpr size_t LIMIT = 8u << 20;
  uint32_t seq = 0;
  size_t pending_at = 0;
  std::string pending;
  size_t total = 0;
  auto last_progress = std::chrono::steady_clock::now();
  while (total < LIMIT &&
         std::chrono::steady_clock::now() - last_progress < std::chrono::milliseconds(500)) {
    if (pending_at == pending.size()) {
      pending = make_records(1, seq, 50);
      seq += 50;
      pending_at = 0;
    }
    long n = a.send_now(pending.data() + pending_at, pending.size() - pending_at);
    ASSERT_GE(n, 0);
    if (n > 0) {
      pending_at += size_t(n);
      total += size_t(n);
      last_progress = std::chrono::steady_clock::now();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  EXPECT_LT(total, LIMIT) << "the senders were not held up";

  stalled.reset();
  ASSERT_TRUE(a.send_all(pending.data() + pending_at, pending.size() - pending_at, 10000));
  ASSERT_TRUE(a.send_all(make_records(1, seq, 500), 10000));
  seq += 500;
  size_t expected = size_t(seq) * RECORD_SIZE;
  ASSERT_TRUE(to_b.wait_for([&](const std::string& d) { return data_size(d) >= expected; }, 20000))
      << data_size(to_b.data()) << " of " << expected;
  record_checker check;
  check.feed(to_b.data());
  for (const std::string& e : check.errors) ADD_FAILURE() << e;
  EXPECT_EQ(check.records(1), seq);
  EXPECT_EQ(relay.out().find("!!"), std::string::npos) << relay.out();
}

}  // namespace
