#include "support/running_relay.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/port.h"

namespace {

// The part of `err` from the first sanitizer report on, or "".
std::string first_sanitizer_report(const std::string& err) {
  size_t at = std::string::npos;
  for (const char* mark : {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer",
                           "ERROR: LeakSanitizer", "runtime error:"})
    at = std::min(at, err.find(mark));
  return at == std::string::npos ? "" : err.substr(at);
}

}  // namespace

bool running_relay::start(const std::string& program, const std::vector<std::string>& options) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    port = free_port();
    if (port == 0) continue;
    std::vector<std::string> argv = {"wsrelay", "-p", std::to_string(port)};
    argv.insert(argv.end(), options.begin(), options.end());
    proc = std::make_unique<test_process>();
    if (!proc->start(program, argv, dir.path)) return false;
    // Sanitizer builds start slowly.
    if (proc->wait_out(":: waiting for client connection...\n\n", 20000)) return true;
    if (proc->out.find("^ERROR: 10048") == std::string::npos) return false;
  }
  return false;
}

const std::string& running_relay::out() {
  proc->pump(0);
  return proc->out;
}

size_t running_relay::matches(const std::regex& pattern) {
  const std::string& text = out();
  return size_t(std::distance(std::sregex_iterator(text.begin(), text.end(), pattern),
                              std::sregex_iterator()));
}

bool running_relay::wait_matches(const std::regex& pattern, size_t count, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (matches(pattern) >= count) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    proc->pump(20);
  }
}

running_relay::~running_relay() {
  if (!proc) return;
  proc->pump(0);
  std::string report = first_sanitizer_report(proc->err);
  if (!report.empty()) ADD_FAILURE() << "the relay's sanitizer reported:\n" << report;
}
