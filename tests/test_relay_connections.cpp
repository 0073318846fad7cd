// Connections as the console and the clients see them: the start and end
// lines, a lone client, a full house of 32 and the one that waits for a slot.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/client.h"
#include "support/running_relay.h"

namespace {

TEST(RelayConnections, LinesShowPeerSlotCountsKindAndEnd) {
  running_relay relay;
  ASSERT_TRUE(relay.start(WSRELAY_BIN, {"-c", "4"}));
  relay_client c;
  ASSERT_TRUE(c.connect(relay.port));
  std::regex start("\r:: SYN from 127\\.0\\.0\\.1:" + std::to_string(c.local_port) +
                   "  :: server_0([0-3])\\.working  active 01/04  RAW\n");
  ASSERT_TRUE(relay.wait_matches(start, 1, 10000)) << relay.out();
  std::smatch m;
  std::string out = relay.out();
  ASSERT_TRUE(std::regex_search(out, m, start));
  std::string slot = m[1];

  c.close();
  std::string end = "RAW\n:: server_0" + slot + ".fin  active 00/04\n";
  EXPECT_TRUE(relay.wait_out(end, 10000)) << relay.out();
  EXPECT_EQ(relay.out().find("!!"), std::string::npos) << relay.out();
}

TEST(RelayConnections, ALoneClientGetsNothingBack) {
  running_relay relay;
  ASSERT_TRUE(relay.start(WSRELAY_BIN, {"-c", "4"}));
  relay_client c;
  ASSERT_TRUE(c.connect(relay.port));
  ASSERT_TRUE(relay.wait_out("RAW\n", 10000)) << relay.out();
  ASSERT_TRUE(c.send_all(std::string(3000, 'x'), 2000));
  EXPECT_EQ(c.read(1 << 16, 300), "");
}

// Each client sends single bytes of its own value, which the relay cannot
// split, so every receiver can count what it got from whom.
// A console reader that has gone (its pipe closed at the far end) must not
// end the relay: the lines are lost, the clients are still served.
TEST(RelayConnections, ServesOnAfterItsConsoleReaderHasGone) {
  running_relay relay;
  ASSERT_TRUE(relay.start(WSRELAY_BIN, {"-c", "4"}));
  relay.proc->close_out();
  relay_client a, b;
  ASSERT_TRUE(a.connect(relay.port));
  ASSERT_TRUE(b.connect(relay.port));
  std::string got;
  for (int i = 0; i < 50 && got.find("still served") == std::string::npos; ++i) {
    ASSERT_TRUE(a.send_all("still served", 2000)) << "the relay has gone";
    got += b.read(1 << 16, 100);
  }
  EXPECT_NE(got.find("still served"), std::string::npos);
  relay.proc->pump(0);
  EXPECT_FALSE(relay.proc->exited) << "ended by signal " << relay.proc->term_signal;
}

TEST(RelayConnections, ThirtyTwoAtOnceAndTheThirtyThirdIsServedWhenASlotFrees) {
  running_relay relay;
  ASSERT_TRUE(relay.start(WSRELAY_BIN));
  constexpr int N = 32;
  constexpr size_t K = 40;
  std::vector<std::unique_ptr<relay_client>> clients;
  std::vector<relay_client*> all;
  for (int i = 0; i < N; ++i) {
    clients.push_back(std::make_unique<relay_client>());
    ASSERT_TRUE(clients.back()->connect(relay.port)) << i;
    all.push_back(clients.back().get());
  }
  ASSERT_TRUE(await_ready(all, 30000));
  EXPECT_NE(relay.out().find("active 32/32"), std::string::npos);

  std::vector<std::unique_ptr<background_reader>> readers;
  for (auto& c : clients) readers.push_back(std::make_unique<background_reader>(c.get()));
  for (int i = 0; i < N; ++i)
    ASSERT_TRUE(clients[i]->send_all(std::string(K, char(0x20 + i)), 5000));
  for (int i = 0; i < N; ++i) {
    auto all_came = [&](const std::string& d) { return without_control(d).size() >= (N - 1) * K; };
    ASSERT_TRUE(readers[i]->wait_for(all_came, 20000)) << "client " << i;
    std::string got = without_control(readers[i]->data());
    for (int from = 0; from < N; ++from) {
      size_t count = size_t(std::count(got.begin(), got.end(), char(0x20 + from)));
      EXPECT_EQ(count, from == i ? 0 : K) << "client " << i << " from " << from;
    }
  }

  relay_client last;
  ASSERT_TRUE(last.connect(relay.port));   // waits in the backlog
  ASSERT_TRUE(last.send_all(std::string(K, '@'), 2000));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(readers[1]->data().find('@'), std::string::npos) << "relayed before a slot was free";

  readers[0]->stop();
  clients[0]->close();
  auto came = [&](const std::string& d) {
    return size_t(std::count(d.begin(), d.end(), '@')) == K;
  };
  EXPECT_TRUE(readers[1]->wait_for(came, 20000));
  EXPECT_TRUE(readers[N - 1]->wait_for(came, 20000));
  // And it receives from the others once it is set up.
  bool reached = false;
  for (int tries = 0; tries < 500 && !reached; ++tries) {
    clients[1]->send_now("!", 1);
    reached = last.read(1 << 16, 20).find('!') != std::string::npos;
  }
  EXPECT_TRUE(reached);
}

}  // namespace
