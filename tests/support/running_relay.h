// The relay started as a process on a free port, in an empty temporary
// working directory (so no certificate is found), until the object goes.
//
//   running_relay relay;
//   ASSERT_TRUE(relay.start(WSRELAY_BIN, {"-c", "4"}));
//   relay_client c;
//   ASSERT_TRUE(c.connect(relay.port));
#pragma once
#include <cstdint>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "support/process.h"

struct running_relay {
  ~running_relay();   // a sanitizer report on the relay's stderr fails the test

  temp_dir dir;
  std::unique_ptr<test_process> proc;
  uint16_t port = 0;

  // Starts `program` with "-p <port>" and `options`; true once the relay
  // listens. Another free port is tried when the chosen one was taken.
  bool start(const std::string& program, const std::vector<std::string>& options = {});
  // Standard output so far (read what has arrived).
  const std::string& out();
  bool wait_out(const std::string& text, int ms) { return proc->wait_out(text, ms); }
  // Waits until standard output holds `count` matches of `pattern`.
  bool wait_matches(const std::regex& pattern, size_t count, int ms);
  size_t matches(const std::regex& pattern);
};

