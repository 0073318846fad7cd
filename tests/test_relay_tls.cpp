// TLS clients of the running relay: with no certificate a ClientHello only
// gets its connection closed; with one, TLS 1.2 and 1.3 clients (our own and
// the openssl command's) trade data with raw clients both ways, and a client
// that offers nothing newer than TLS 1.1 is turned away without harm.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <thread>

#include "support/certs.h"
#include "support/client.h"
#include "support/port.h"
#include "support/relay_session.h"
#include "support/tls_client.h"
#include "support/ws_peers.h"

namespace {

struct RelayTls : relay_session {};

// Bytes from 0x20 up, so that a raw receiver can drop hello and sync bytes.
std::string pattern(size_t n, unsigned seed) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += char(0x20 + (i * 7 + seed + i / 91) % 0xDF);
  return s;
}

// What `c` receives until `n` data bytes (hello and sync bytes dropped) came.
std::string raw_receive(relay_client& c, size_t n, int ms) {
  std::string got;
  uint64_t end = now_us() + uint64_t(ms) * 1000;
  while (without_control(got).size() < n && now_us() < end && !c.peer_closed)
    got += c.read(1 << 16, 20);
  return without_control(got);
}

TEST_F(RelayTls, WithoutACertificateNoTlsIsOfferedAndAClientHelloIsDropped) {
  ASSERT_TRUE(start(WSRELAY_BIN, {"-c", "4"}));
  EXPECT_NE(relay.out().find(":: bind(0.0.0.0:" + std::to_string(relay.port) +
                             ")  RAW WS  max connections: 4\n"),
            std::string::npos) << relay.out();
  EXPECT_EQ(relay.out().find("TLS"), std::string::npos);

  const std::string client_hello = client_hello_bytes();   // before the clock starts
  relay_client hello;
  ASSERT_TRUE(hello.connect(relay.port, 0, 0, false));
  ASSERT_TRUE(hello.send_all(client_hello, 2000));
  EXPECT_TRUE(hello.wait_closed(3000)) << "the relay kept a ClientHello it cannot serve";
  std::regex line("\r:: SYN from 127\\.0\\.0\\.1:" + std::to_string(hello.local_port) +
                  "  :: server_(\\d\\d)\\.working  active 01/04  \n\n"
                  ":: server_\\1\\.fin  active 00/04\n");
  EXPECT_TRUE(relay.wait_matches(line, 1, 5000)) << relay.out();

  wire tls;
  EXPECT_FALSE(tls.connect(relay.port, wire::tls)) << "a TLS handshake succeeded without a certificate";
  EXPECT_TRUE(wait_dropped(2, 5000)) << relay.out();
  expect_still_serving();
}

TEST_F(RelayTls, TlsTwelveAndThirteenClientsAndRawClientsRelayBothWays) {
  ASSERT_TRUE(add_certificate());
  ASSERT_TRUE(start(WSRELAY_BIN, {"-c", "6"}));
  EXPECT_NE(relay.out().find("  RAW TLS WS WSS  max connections: 6\n"), std::string::npos)
      << relay.out();

  relay_client raw;
  ASSERT_TRUE(raw.connect(relay.port));
  ASSERT_TRUE(wait_kinds("RAW", 1, 5000)) << relay.out();

  struct version_case { int version; const char* name; };
  const version_case cases[] = {{TLS1_2_VERSION, "TLSv1.2"}, {TLS1_3_VERSION, "TLSv1.3"}};
  // Both stay connected: an end line during the next one's set-up would
  // leave that one's line without its kind.
  wire wires[2];
  size_t n = 0;
  for (const version_case& v : cases) {
    SCOPED_TRACE(v.name);
    wire& tls = wires[n];
    ASSERT_TRUE(tls.connect(relay.port, wire::tls, v.version, v.version));
    EXPECT_EQ(tls.secure->version(), v.name);
    // The relay reads a first request from every TLS client: send only once
    // the line shows it set up.
    ASSERT_TRUE(wait_kinds("TLS", ++n, 5000)) << relay.out();

    // More than one read's worth each way, so several records and reads.
    std::string up = pattern(20000, unsigned(v.version));
    ASSERT_TRUE(tls.send(up));
    EXPECT_TRUE(raw_receive(raw, up.size(), 10000) == up) << "TLS to raw";

    std::string down = pattern(20000, 5);
    ASSERT_TRUE(raw.send_all(down, 5000));
    EXPECT_TRUE(tls.read(down.size(), 10000) == down) << "raw to TLS";
  }
  EXPECT_EQ(relay.out().find("!!"), std::string::npos) << relay.out();
}

// The relay's reader and writer share the client's TLS connection: the
// writer sends while the reader decrypts, and with key updates the reader's
// reads produce records of their own. Nothing may be lost either way.
TEST_F(RelayTls, ATlsClientSendingAndReceivingAtOnceLosesNothing) {
  ASSERT_TRUE(add_certificate());
  ASSERT_TRUE(start(WSRELAY_BIN, {"-c", "4"}));
  relay_client raw;
  ASSERT_TRUE(raw.connect(relay.port));
  ASSERT_TRUE(wait_kinds("RAW", 1, 5000)) << relay.out();
  wire tls;
  ASSERT_TRUE(tls.connect(relay.port, wire::tls, TLS1_3_VERSION, TLS1_3_VERSION));
  ASSERT_TRUE(wait_kinds("TLS", 1, 5000)) << relay.out();

  const std::string up = pattern(300000, 3);
  const std::string down = pattern(300000, 9);
  background_reader raw_reader(&raw);
  bool raw_sent = false;
  std::thread raw_sender([&] { raw_sent = raw.send_all(down, 20000); });
  std::string got;
  bool exchanged = tls.secure->exchange(up, down.size(), &got, 20000, 16384);
  raw_sender.join();
  EXPECT_TRUE(raw_sent);
  EXPECT_TRUE(exchanged) << "the TLS client got " << got.size() << " bytes";
  EXPECT_TRUE(got == down) << "raw to TLS differs";
  auto complete = [&](const std::string& d) { return without_control(d).size() >= up.size(); };
  EXPECT_TRUE(raw_reader.wait_for(complete, 10000));
  EXPECT_TRUE(without_control(raw_reader.data()) == up) << "TLS to raw differs";
  EXPECT_EQ(relay.out().find("!!"), std::string::npos) << relay.out();
}

TEST_F(RelayTls, TheOpensslCommandTradesDataWithARawClient) {
  ASSERT_TRUE(add_certificate());
  ASSERT_TRUE(start(WSRELAY_BIN, {"-c", "4"}));
  relay_client raw;
  ASSERT_TRUE(raw.connect(relay.port));
  ASSERT_TRUE(wait_kinds("RAW", 1, 5000)) << relay.out();

  size_t n = 0;
  for (const char* version : {"-tls1_2", "-tls1_3"}) {
    SCOPED_TRACE(version);
    test_process client;
    int to_client = -1;
    ASSERT_TRUE(start_with_stdin(&client, "/usr/bin/openssl",
                                 {"openssl", "s_client", "-quiet", version, "-connect",
                                  "127.0.0.1:" + std::to_string(relay.port)},
                                 relay.dir.path, &to_client));
    ASSERT_TRUE(wait_kinds("TLS", ++n, 10000)) << relay.out() << client.err;

    // The command sends what it reads as it stands; no line end, which a
    // raw receiver here would drop with the hello bytes.
    std::string up = std::string("from s_client ") + version;
    ASSERT_EQ(write(to_client, up.data(), up.size()), ssize_t(up.size()));
    EXPECT_EQ(raw_receive(raw, up.size(), 5000), up);

    std::string down = std::string("to s_client ") + version + "\n";
    ASSERT_TRUE(raw.send_all(down, 2000));
    EXPECT_TRUE(client.wait_out(down, 5000)) << client.out << client.err;
    close(to_client);
    client.kill_and_reap();
    ASSERT_TRUE(relay.wait_matches(std::regex(":: server_\\d\\d\\.fin  active 01/04\n"), n, 5000))
        << relay.out();
  }
}

TEST_F(RelayTls, AClientOfferingOnlyTlsElevenFailsAndTheRelayGoesOn) {
  ASSERT_TRUE(add_certificate());
  ASSERT_TRUE(start(WSRELAY_BIN, {"-c", "4"}));

  wire old;
  EXPECT_FALSE(old.connect(relay.port, wire::tls, TLS1_1_VERSION, TLS1_1_VERSION))
      << "the relay accepted TLS 1.1";
  EXPECT_TRUE(wait_dropped(1, 5000)) << relay.out();
  EXPECT_EQ(relay.out().find("TLS\n"), std::string::npos) << relay.out();

  relay_client raw;
  ASSERT_TRUE(raw.connect(relay.port));
  ASSERT_TRUE(wait_kinds("RAW", 1, 5000)) << relay.out();
  wire tls;
  ASSERT_TRUE(tls.connect(relay.port, wire::tls));
  ASSERT_TRUE(wait_kinds("TLS", 1, 5000)) << relay.out();
  ASSERT_TRUE(tls.send("after the refusal"));
  EXPECT_EQ(raw_receive(raw, 17, 5000), "after the refusal");
}

// A TLS client that stays silent through the wait for a WebSocket request and
// later breaks its session: the report names the TLS error, not the time-out
// of that earlier wait.
TEST_F(RelayTls, ABrokenSessionAfterASilentStartIsReportedAsATlsError) {
  ASSERT_TRUE(add_certificate());
  ASSERT_TRUE(start(WSRELAY_BIN, {"-c", "4"}));
  wire tls;
  ASSERT_TRUE(tls.connect(relay.port, wire::tls));
  ASSERT_TRUE(wait_kinds("TLS", 1, 5000)) << relay.out();
  const std::string junk(64, '\x42');
  ASSERT_EQ(::send(tls.tcp.fd, junk.data(), junk.size(), MSG_NOSIGNAL), ssize_t(junk.size()));
  EXPECT_TRUE(tls.wait_closed(3000));
  EXPECT_TRUE(relay.wait_matches(std::regex("\n!! recv\\(\\d+\\)  TLS error -?\\d+\n"), 1, 5000))
      << relay.out();
  EXPECT_EQ(relay.out().find("^ERROR"), std::string::npos) << relay.out();
  expect_still_serving();
}

// The relay on a terminal of its own, as a user starts it: what it prints
// and what the library's pass-phrase prompt asks there, and what is typed.
struct terminal_relay {
  pid_t pid = -1;
  int master = -1;
  std::string screen;

  bool start(const std::string& dir, uint16_t port) {
    const std::string p = std::to_string(port);   // nothing is allocated after the fork
    pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
      if (chdir(dir.c_str()) == 0) execl(WSRELAY_BIN, "wsrelay", "-p", p.c_str(), "-c", "2", nullptr);
      _exit(127);
    }
    return pid > 0;
  }
  // Reads the terminal until `text` has appeared `times` times or `ms` pass.
  bool wait_for(const std::string& text, size_t times, int ms) {
    uint64_t end = now_us() + uint64_t(ms) * 1000;
    while (count(text) < times && now_us() < end) {
      pollfd p = {master, POLLIN, 0};
      if (poll(&p, 1, 20) != 1) continue;
      char buffer[4096];
      ssize_t n = read(master, buffer, sizeof buffer);
      if (n <= 0) break;
      screen.append(buffer, size_t(n));
    }
    return count(text) >= times;
  }
  size_t count(const std::string& text) const {
    size_t found = 0;
    for (size_t at = screen.find(text); at != std::string::npos; at = screen.find(text, at + 1)) ++found;
    return found;
  }
  ~terminal_relay() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (master != -1) close(master);
  }
};

TEST(RelayTlsKey, AKeyWithAPassPhraseAsksOnceAndTlsIsOffered) {
  temp_dir dir;
  ASSERT_TRUE(write_cert_file(dir.path + "/wsrelay-cert.pem", cert_days(30), false, "open sesame"));
  // A port found free can be taken by another test before the relay binds it.
  for (int attempt = 0; attempt < 3; ++attempt) {
    uint16_t port = free_port();
    terminal_relay t;
    ASSERT_TRUE(t.start(dir.path, port));
    ASSERT_TRUE(t.wait_for("pass phrase", 1, 20000)) << t.screen;
    ASSERT_EQ(write(t.master, "open sesame\n", 12), 12);
    const std::string banner = ":: bind(0.0.0.0:" + std::to_string(port) + ")  RAW TLS WS WSS";
    t.wait_for(banner, 1, 20000);
    if (t.count("^ERROR: 10048") > 0) continue;
    EXPECT_EQ(t.count(banner), 1u) << t.screen;
    EXPECT_EQ(t.count("pass phrase"), 1u) << t.screen;
    return;
  }
  ADD_FAILURE() << "no free port";
}

}  // namespace
