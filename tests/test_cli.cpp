// The command line as a user meets it: the built relay started with a table
// of argument lists in an empty directory (so no certificate is found),
// checked for its configuration block, the connection-count warning, the
// usage text and the exit code.
#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include <string>
#include <vector>

#include "support/names.h"
#include "support/port.h"
#include "support/process.h"

namespace {

constexpr int RUN_LIMIT_MS = 30000;  // generous: the sanitizer builds start slowly

std::string version_line() { return std::string(OpenSSL_version(OPENSSL_VERSION)) + "\n"; }

std::string block(unsigned connections, const std::string& packet_length_r, unsigned port) {
  return ":: config ::\n"
         "  print:1, print_once:0, listen:1, write:1, connections:" + std::to_string(connections) + "\n"
         "  verbose:1, quiet:0, packet_length_r:" + packet_length_r + "\n"
         "  so_type:1, so_protocol:6\n"
         "  addr_local  :" + std::to_string(port) + "\n"
         "  addr_remote :0\n\n"
         ":: ------ ::\n";
}

const char* const REDUCED = "!! QOR_SOCKET::config()  number of connections reduced to: 32\n\n";

std::string usage(const std::string& name) {
  const std::string rule(79, '-');
  return ":: WebSocket relay utility\n" + rule + "\n"
         ":: Relay data between WebSocket, TCP and TLS clients.\n" + rule + "\n"
         ":: usage ::\n"
         "\t" + name + " <-p listen port>\n"
         "\t[-p listen port]\n"
         "\t[-c 1 to 32 connections]\n"
         "\t[-L 1472|1405|1422|65112|65507       packet length]\n"
         "\n"
         ":: example ::\n"
         "\t" + name + "\n"
         "\t" + name + " -p 81\n"
         "\n\n";
}

struct run_result {
  bool ended = false;
  int exit_code = -1;
  std::string out, err;
};

run_result run_relay(const std::vector<std::string>& argv) {
  temp_dir dir;
  test_process p;
  run_result r;
  if (dir.path.empty() || !p.start(WSRELAY_BIN, argv, dir.path)) return r;
  r.ended = p.wait_exit(RUN_LIMIT_MS);
  r.exit_code = p.exit_code;
  r.out = p.out;
  r.err = p.err;
  return r;
}

// Command lines that end in the usage text: help asked for, or port 0.
struct usage_case {
  std::vector<std::string> args;   // after argv[0]
  unsigned port;
  unsigned connections;
  const char* packet_length_r;
  bool reduced;                    // the connection-count warning comes first
};

const usage_case USAGE_CASES[] = {
    {{"-h"}, 81, 32, "4096", false},
    {{"--help"}, 81, 32, "4096", false},
    {{"--HELP"}, 81, 32, "4096", false},
    {{"--hElP"}, 81, 32, "4096", false},
    {{"-p", "0"}, 0, 32, "4096", false},
    {{"-p0"}, 0, 32, "4096", false},
    // h notes help and the examination goes on to the p
    {{"-hp", "82"}, 82, 32, "4096", false},
    // the h after p is p's value: no digits, port 0
    {{"-ph"}, 0, 32, "4096", false},
    // not "help": its h asks for help and its p takes "me"
    {{"--helpme"}, 0, 32, "4096", false},
    // -c is consumed as the port's value; the 5 is not an option
    {{"-p", "-c", "5"}, 0, 32, "4096", false},
    {{"-p", "65536"}, 0, 32, "4096", false},
    {{"-p", "abc"}, 0, 32, "4096", false},
    // other letters are passed over: x here, H P l there
    {{"-h", "-xp83"}, 83, 32, "4096", false},
    {{"-H", "-P", "9", "-l", "9", "-p", "0"}, 0, 32, "4096", false},
    {{"-h", "-", "--", "plain", "-h-"}, 81, 32, "4096", false},
    // a value ends the argument: the p of -c5p84 is never looked at
    {{"-h", "-c5p84"}, 81, 5, "4096", false},
    {{"-h", "-p", "84", "-p", "85"}, 85, 32, "4096", false},
    // a letter without a value stores nothing
    {{"-h", "-p"}, 81, 32, "4096", false},
    {{"-hc"}, 81, 32, "4096", false},
    // _wtoi: blanks and a sign before the digits, anything after them
    {{"-h", "-p", " \t+86x"}, 86, 32, "4096", false},
    {{"-h", "-p", "65617"}, 81, 32, "4096", false},
    {{"-h", "-p", "-1"}, 65535, 32, "4096", false},
    {{"-h", "-p", "99999999999"}, 65535, 32, "4096", false},  // saturates at 2147483647
    {{"-h", "-c", "0"}, 81, 32, "4096", false},
    {{"-h", "-c", "32"}, 81, 32, "4096", false},
    {{"-h", "-c", "7"}, 81, 7, "4096", false},
    {{"-h", "-c", "33"}, 81, 32, "4096", true},
    {{"-h", "-c", "-1"}, 81, 32, "4096", true},
    {{"-h", "-c", "65536"}, 81, 32, "4096", false},
    {{"-h", "-c", "4294967297"}, 81, 32, "4096", true},
    {{"-h", "-L", "-1"}, 81, 32, "18446744073709551615", false},
    {{"-h", "-L", "4294967296"}, 81, 32, "2147483647", false},
    {{"-h", "-L", "-4294967296"}, 81, 32, "18446744071562067968", false},
    {{"-h", "-L0"}, 81, 32, "0", false},
    {{"-h", "-L", "5000"}, 81, 32, "5000", false},
};

void PrintTo(const usage_case& c, std::ostream* os) { *os << testing::PrintToString(c.args); }

class usage_text : public testing::TestWithParam<usage_case> {};

TEST_P(usage_text, prints_block_then_usage_and_exits_0) {
  const usage_case& c = GetParam();
  std::vector<std::string> argv = {"wsrelay"};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  run_result r = run_relay(argv);
  ASSERT_TRUE(r.ended) << r.out;
  std::string want = version_line() + (c.reduced ? REDUCED : "") +
                     block(c.connections, c.packet_length_r, c.port) + usage("wsrelay");
  EXPECT_EQ(r.out, want);
  EXPECT_EQ(r.err, "") << "no pool is allocated when the relay does not run";
  EXPECT_EQ(r.exit_code, 0);
}

INSTANTIATE_TEST_SUITE_P(command_lines, usage_text, testing::ValuesIn(USAGE_CASES),
                         [](const testing::TestParamInfo<usage_case>& i) { return case_name(i.index, i.param.args); });

TEST(usage_text, names_the_program_as_it_was_invoked) {
  for (std::string name : {"./bin/relay", "C:\\relay.exe", "релей-ü"}) {
    run_result r = run_relay({name, "--help"});
    ASSERT_TRUE(r.ended);
    EXPECT_EQ(r.out, version_line() + block(32, "4096", 81) + usage(name)) << name;
    EXPECT_EQ(r.exit_code, 0);
  }
}

// Usable command lines start the relay. The test holds the port, so the
// relay's bind fails: it reports that, tears down and returns 0.
struct run_case {
  std::vector<std::string> args;   // "{port}" stands for the held port
  unsigned connections;
  const char* packet_length_r;
  bool reduced;
};

const run_case RUN_CASES[] = {
    {{"-p", "{port}"}, 32, "4096", false},
    {{"-p{port}", "-c", "40"}, 32, "4096", true},
    {{"-c1", "-L", "0", "-p", "{port}"}, 1, "0", false},
    {{"-L", "5000", "-c", "4", "-p", "{port}"}, 4, "5000", false},
};

void PrintTo(const run_case& c, std::ostream* os) { *os << testing::PrintToString(c.args); }

class relay_run : public testing::TestWithParam<run_case> {};

TEST_P(relay_run, prints_block_then_runs_and_exits_1_when_bind_fails) {
  const run_case& c = GetParam();
  held_port held;
  ASSERT_NE(held.port, 0);
  const std::string port = std::to_string(held.port);
  std::vector<std::string> argv = {"wsrelay"};
  for (std::string a : c.args) {
    size_t at = a.find("{port}");
    if (at != std::string::npos) a.replace(at, 6, port);
    argv.push_back(a);
  }
  run_result r = run_relay(argv);
  ASSERT_TRUE(r.ended) << r.out << r.err;

  const std::string head = version_line() + (c.reduced ? REDUCED : "") +
                           block(c.connections, c.packet_length_r, held.port);
  EXPECT_EQ(r.out.substr(0, head.size()), head);
  EXPECT_NE(r.out.find(":: bind(0.0.0.0:" + port + ")  "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("   ^ERROR: 10048, "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find(":: usage ::"), std::string::npos);
  EXPECT_NE(r.err.find(":: page size   2 MB  "), std::string::npos) << r.err;
  EXPECT_EQ(r.exit_code, 1);
}

INSTANTIATE_TEST_SUITE_P(command_lines, relay_run, testing::ValuesIn(RUN_CASES),
                         [](const testing::TestParamInfo<run_case>& i) { return case_name(i.index, i.param.args); });

}  // namespace
