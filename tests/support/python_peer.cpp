#include "support/python_peer.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

namespace {

std::string unhex(const std::string& h) {
  std::string out;
  for (size_t i = 0; i + 1 < h.size(); i += 2) out += char(std::stoi(h.substr(i, 2), nullptr, 16));
  return out;
}

}  // namespace

bool python_peer::start(const std::string& script, const std::string& url, const std::string& dir) {
  static std::atomic<int> serial{0};
  command_file = dir + "/peer-" + std::to_string(getpid()) + "-" + std::to_string(serial++) + ".cmd";
  int fd = ::open(command_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd == -1) return false;
  ::close(fd);
  return proc.start("/usr/bin/python3", {"python3", script, url, command_file}, dir);
}

bool python_peer::wait_open(int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    proc.pump(20);
    if (proc.out.find("open\n") != std::string::npos) return true;
    if (proc.out.find("error ") != std::string::npos || proc.exited) return false;
    if (std::chrono::steady_clock::now() >= end) return false;
  }
}

bool python_peer::command(const std::string& line) {
  int fd = ::open(command_file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd == -1) return false;
  std::string whole = line + "\n";
  // One write: the script takes only whole lines.
  bool ok = ::write(fd, whole.data(), whole.size()) == ssize_t(whole.size());
  ::close(fd);
  return ok;
}

std::string python_peer::hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string h;
  for (char c : bytes) {
    h += digits[uint8_t(c) >> 4];
    h += digits[uint8_t(c) & 15];
  }
  return h;
}

std::vector<python_peer::message> python_peer::messages() {
  proc.pump(0);
  std::vector<message> all;
  size_t at = 0;
  for (;;) {
    size_t nl = proc.out.find('\n', at);
    if (nl == std::string::npos) break;
    std::string line = proc.out.substr(at, nl - at);
    at = nl + 1;
    if (line.rfind("text ", 0) == 0) all.push_back({true, unhex(line.substr(5))});
    else if (line.rfind("binary ", 0) == 0) all.push_back({false, unhex(line.substr(7))});
  }
  return all;
}

bool python_peer::wait_messages(size_t count, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (messages().size() >= count) return true;
    if (std::chrono::steady_clock::now() >= end || proc.exited) return messages().size() >= count;
    proc.pump(20);
  }
}

bool python_peer::closed() {
  proc.pump(0);
  return proc.out.find("closed ") != std::string::npos;
}

bool python_peer::wait_closed(int ms, std::string* codes) {
  if (!proc.wait_out("closed ", ms)) return false;
  size_t at = proc.out.find("closed ");
  // The rest of that line may still be on its way.
  for (int i = 0; i < 100 && proc.out.find('\n', at) == std::string::npos; ++i) proc.pump(20);
  size_t nl = proc.out.find('\n', at);
  if (codes != nullptr) *codes = proc.out.substr(at + 7, nl == std::string::npos ? nl : nl - at - 7);
  return true;
}
