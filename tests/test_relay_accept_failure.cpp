// An accept that fails (here: no descriptor left) stops the relay serving: it
// is reported once, the listening socket closes so that no reader takes
// another client, the connections in progress go on until they end, and the
// process then exits with status 1, so that a script or a service manager
// sees the failure.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>

#include "support/client.h"
#include "support/running_relay.h"

namespace {

// Sets the soft descriptor limit of another process; returns the old limits.
rlimit set_soft_nofile(pid_t pid, rlim_t soft) {
  rlimit old{};
  prlimit(pid, RLIMIT_NOFILE, nullptr, &old);
  rlimit low{soft, old.rlim_max};
  prlimit(pid, RLIMIT_NOFILE, &low, nullptr);
  return old;
}

TEST(RelayAcceptFailure, ReportedOnceThenServingEndsWithTheConnectionsInProgressAndExitStatusOne) {
  running_relay relay;
  ASSERT_TRUE(relay.start(WSRELAY_BIN, {"-c", "3"}));
  relay_client a, c;
  ASSERT_TRUE(a.connect(relay.port));
  ASSERT_TRUE(c.connect(relay.port));
  ASSERT_TRUE(await_ready({&a, &c}, 10000));

  // The third reader waits in accept with its descriptor already taken: it
  // can serve one more client, but afterwards no descriptor can be had.
  const pid_t pid = relay.proc->pid;
  rlimit old = set_soft_nofile(pid, 1);
  {
    relay_client b;
    ASSERT_TRUE(b.connect(relay.port));
    b.close();
  }
  const std::string report = "   ^ERROR: 10024, ";
  ASSERT_TRUE(relay.wait_out(report, 10000)) << relay.out();
  prlimit(pid, RLIMIT_NOFILE, &old, nullptr);
  EXPECT_TRUE(relay.wait_matches(std::regex("!! server \\d\\d  accept\\(so_listen:[0-9a-f]+, \\(sockaddr \\*\\) "
                                            "&addr_listen:[0-9a-f]+, &addr_listen_size:16\\)\n"),
                                 1, 1000)) << relay.out();

  // No one is accepted any more.
  bool refused = false;
  for (int i = 0; i < 100 && !refused; ++i) {
    relay_client late;
    refused = !late.connect(relay.port);
    if (!refused) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(refused) << "the relay still accepts after its failure";

  // The connections in progress are still served, and the process waits
  // for them.
  ASSERT_TRUE(a.send_all("after the failure", 2000));
  std::string got;
  for (int i = 0; i < 50 && without_control(got).size() < 17; ++i) got += c.read(1 << 16, 100);
  EXPECT_EQ(without_control(got), "after the failure");
  EXPECT_FALSE(relay.proc->wait_exit(300)) << "the relay ended under its clients";
  a.close();
  c.close();
  ASSERT_TRUE(relay.proc->wait_exit(10000)) << relay.out();
  EXPECT_EQ(relay.proc->exit_code, 1) << relay.out();
  EXPECT_EQ(relay.matches(std::regex("\\^ERROR")), 1u) << relay.out();
}

}  // namespace
