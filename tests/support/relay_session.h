// A test fixture around one running relay for the end-to-end tests: the
// relay's working directory may get certificate files before it starts, its
// connection lines can be waited for by kind, and when the test ends its
// standard error must hold no sanitizer report.
//
//   struct MyTest : relay_session {};
//   TEST_F(MyTest, X) {
//     ASSERT_TRUE(add_certificate());
//     ASSERT_TRUE(start(WSRELAY_BIN, {"-c", "8"}));
//     ...
//     ASSERT_TRUE(wait_kinds("TLS", 1, 10000));
//   }
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/client.h"
#include "support/process.h"
#include "support/running_relay.h"

struct relay_session : ::testing::Test {
  running_relay relay;

  // Writes a fresh self-signed certificate with its key as `name` into the
  // relay's working directory.
  bool add_certificate(const std::string& name = "wsrelay-cert.pem");
  bool start(const std::string& program, const std::vector<std::string>& options);

  // Connection lines that ended with their kind ("RAW", "TLS", "WS", "WSS";
  // empty: any kind).
  size_t kinds(const std::string& kind = "");
  bool wait_kinds(const std::string& kind, size_t count, int ms);
  // Connection lines that got no kind and were ended by their end line: a
  // connection dropped during its set-up.
  size_t dropped();
  bool wait_dropped(size_t count, int ms);

  std::string url(const std::string& scheme) const;

  // Two fresh raw clients exchange a few bytes each way through the relay:
  // it still serves. Their hello and sync bytes reach every other ready
  // client too.
  void expect_still_serving();

  void TearDown() override;
};

// Reads from `c` until what came, without hello and sync bytes, holds
// `text`, or `ms` pass. Everything read is appended to *got when given.
bool read_until(relay_client& c, const std::string& text, int ms, std::string* got = nullptr);

// A sanitizer report in `err`, or empty.
std::string sanitizer_report(const std::string& err);

// Starts `program` like test_process::start, with its standard input the
// read end of a pipe; *stdin_fd gets the write end (close it to send EOF).
bool start_with_stdin(test_process* p, const std::string& program,
                      const std::vector<std::string>& argv, const std::string& cwd,
                      int* stdin_fd);
