// Fan-out: what one client sends reaches every other client that is set up,
// unchanged and in order, and never comes back to its sender.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/client.h"
#include "support/records.h"
#include "support/running_relay.h"

namespace {

// Sends `data` in pieces of varying size, so that the relay's reads fall
// anywhere within the records.
bool send_in_pieces(relay_client* c, const std::string& data, unsigned seed) {
  std::minstd_rand pick(seed);
  for (size_t at = 0; at < data.size();) {
    size_t n = std::min(data.size() - at, size_t(1 + pick() % 1500));
    if (!c->send_all(data.data() + at, n, 10000)) return false;
    at += n;
  }
  return true;
}

struct clients_fixture {
  running_relay relay;
  std::vector<std::unique_ptr<relay_client>> clients;
  std::vector<std::unique_ptr<background_reader>> readers;

  // Connects `n` clients, waits until all are set up, starts their readers.
  bool start(int n, const std::vector<std::string>& options) {
    if (!relay.start(WSRELAY_BIN, options)) return false;
    std::vector<relay_client*> all;
    for (int i = 0; i < n; ++i) {
      clients.push_back(std::make_unique<relay_client>());
      if (!clients.back()->connect(relay.port)) return false;
      all.push_back(clients.back().get());
    }
    if (!await_ready(all, 20000)) return false;
    for (auto& c : clients) readers.push_back(std::make_unique<background_reader>(c.get()));
    return true;
  }
};

size_t data_size(const std::string& d) { return without_control(d).size(); }

TEST(RelayFanout, EveryOtherClientGetsTheSameBytesInOrderAndTheSenderNone) {
  clients_fixture f;
  ASSERT_TRUE(f.start(3, {"-c", "4"}));
  std::string sent = make_records(1, 0, 3000);
  ASSERT_TRUE(send_in_pieces(f.clients[0].get(), sent, 7));
  for (int i : {1, 2}) {
    ASSERT_TRUE(f.readers[i]->wait_for([&](const std::string& d) { return data_size(d) >= sent.size(); },
                                       20000)) << "client " << i;
    EXPECT_TRUE(without_control(f.readers[i]->data()) == sent) << "client " << i;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(data_size(f.readers[0]->data()), 0u);
  EXPECT_EQ(f.relay.out().find("!!"), std::string::npos) << f.relay.out();
}

TEST(RelayFanout, SeveralSendersAtOnceEachReceiverGetsEachSendersRecordsInItsOrder) {
  constexpr int N = 4;
  constexpr size_t RECORDS = 1500;
  clients_fixture f;
  ASSERT_TRUE(f.start(N, {"-c", "5"}));
  std::vector<std::thread> senders;
  std::vector<int> sent_ok(N, 0);
  for (int i = 0; i < N; ++i)
    senders.emplace_back([&, i] {
      sent_ok[i] = send_in_pieces(f.clients[i].get(), make_records(i + 1, 0, RECORDS), 11 + i);
    });
  for (auto& t : senders) t.join();
  for (int i = 0; i < N; ++i) ASSERT_TRUE(sent_ok[i]) << "sender " << i;

  const size_t expected = (N - 1) * RECORDS * RECORD_SIZE;
  for (int i = 0; i < N; ++i) {
    ASSERT_TRUE(f.readers[i]->wait_for([&](const std::string& d) { return data_size(d) >= expected; },
                                       30000)) << "receiver " << i;
    record_checker check;
    check.feed(f.readers[i]->data());
    for (const std::string& e : check.errors) ADD_FAILURE() << "receiver " << i << ": " << e;
    for (int tag = 1; tag <= N; ++tag) {
      EXPECT_EQ(check.records(tag), tag == i + 1 ? 0 : RECORDS) << "receiver " << i << " tag " << tag;
      if (tag != i + 1) {
        EXPECT_EQ(check.senders[tag].first_seq, 0u);
      }
    }
  }
}

// Small packet lengths still relay: 1 (and "1M", whose number stops at the
// first non-digit) is taken like 0, the large-page size; 2 reads a byte at a
// time.
TEST(RelayFanout, TheSmallestPacketLengthsRelayBothWays) {
  for (const char* length : {"1", "1M", "2"}) {
    SCOPED_TRACE(std::string("-L ") + length);
    clients_fixture f;
    ASSERT_TRUE(f.start(2, {"-c", "2", "-L", length}));
    for (int from : {0, 1}) {
      const std::string sent = "from client " + std::to_string(from);
      ASSERT_TRUE(f.clients[from]->send_all(sent, 5000));
      background_reader& to = *f.readers[1 - from];
      EXPECT_TRUE(to.wait_for([&](const std::string& d) { return without_control(d).find(sent) != std::string::npos; },
                              10000)) << without_control(to.data());
    }
    EXPECT_EQ(f.relay.out().find(".fin"), std::string::npos) << "a client was dropped:\n" << f.relay.out();
  }
}

}  // namespace
