// The listener as a user meets it: the bind line and banner, and a port that
// is already taken.
#include <gtest/gtest.h>

#include <string>

#include "support/client.h"
#include "support/port.h"
#include "support/process.h"
#include "support/relay_session.h"
#include "support/running_relay.h"

namespace {

TEST(RelayListener, BannerNamesAddressPortKindsAndConnectionCount) {
  running_relay relay;
  ASSERT_TRUE(relay.start(WSRELAY_BIN, {"-c", "4"}));
  std::string banner = ":: bind(0.0.0.0:" + std::to_string(relay.port) +
                       ")  RAW WS  max connections: 4\n:: waiting for client connection...\n\n";
  EXPECT_NE(relay.out().find(banner), std::string::npos) << relay.out();
}

TEST(RelayListener, OnlyTheConfiguredSlotsAcceptAndTheRestWaitInTheBacklog) {
  running_relay relay;
  ASSERT_TRUE(relay.start(WSRELAY_BIN, {"-c", "2"}));
  relay_client a, b, c;
  ASSERT_TRUE(a.connect(relay.port));
  ASSERT_TRUE(b.connect(relay.port));
  ASSERT_TRUE(await_ready({&a, &b}, 10000));
  ASSERT_TRUE(c.connect(relay.port));   // completes in the backlog
  ASSERT_TRUE(c.send_all("third", 1000));
  EXPECT_EQ(without_control(a.read(1 << 16, 300)), "");
  EXPECT_EQ(relay.out().find("active 03/02"), std::string::npos) << relay.out();
  for (const char* line : {"server_00.working", "server_01.working"})
    EXPECT_NE(relay.out().find(line), std::string::npos) << relay.out();
}

TEST(RelayListener, PortInUseIsReportedAndTheRelayEndsWithExitCodeOne) {
  held_port held;
  ASSERT_NE(held.port, 0);
  temp_dir dir;
  test_process relay;
  ASSERT_TRUE(relay.start(WSRELAY_BIN, {"wsrelay", "-p", std::to_string(held.port)}, dir.path));
  ASSERT_TRUE(relay.wait_exit(30000));
  EXPECT_EQ(relay.exit_code, 1);
  std::string report = ":: bind(0.0.0.0:" + std::to_string(held.port) +
                       ")  \nbind(so, (sockaddr *) &addr_local, sizeof(addr_local))\n"
                       "   ^ERROR: 10048, ";
  EXPECT_NE(relay.out.find(report), std::string::npos) << relay.out;
  // Nothing was served, and the teardown had no thread to force.
  for (const char* absent : {"waiting for client", "SYN from", "server_terminate"})
    EXPECT_EQ(relay.out.find(absent), std::string::npos) << absent << "\n" << relay.out;
  EXPECT_EQ(sanitizer_report(relay.err), "");
}

}  // namespace
