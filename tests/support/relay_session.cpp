#include "support/relay_session.h"

#include <fcntl.h>
#include <unistd.h>

#include <regex>

#include "support/certs.h"

namespace {

const std::string SYN = "\r:: SYN from 127\\.0\\.0\\.1:\\d+  :: server_\\d\\d\\.working  active \\d\\d/\\d\\d  ";
// A refused WebSocket request is reported between the line and its kind.
const std::string REFUSED = "(\n\tInvalid or unsupported WebSocket handshake from the client!\n)?";

// The read end of the pipe a child is to take as its standard input; read
// between fork and exec, so a plain global is all it can be.
int child_stdin = -1;

void take_stdin() {
  if (child_stdin != -1) dup2(child_stdin, 0);
}

}  // namespace

bool relay_session::add_certificate(const std::string& name) {
  return write_cert_file(relay.dir.path + "/" + name, cert_days(30));
}

bool relay_session::start(const std::string& program, const std::vector<std::string>& options) {
  return relay.start(program, options);
}

size_t relay_session::kinds(const std::string& kind) {
  std::string k = kind.empty() ? "(RAW|TLS|WS|WSS)" : kind;
  return relay.matches(std::regex(SYN + REFUSED + k + "\n"));
}

bool relay_session::wait_kinds(const std::string& kind, size_t count, int ms) {
  std::string k = kind.empty() ? "(RAW|TLS|WS|WSS)" : kind;
  return relay.wait_matches(std::regex(SYN + REFUSED + k + "\n"), count, ms);
}

size_t relay_session::dropped() {
  return relay.matches(std::regex(SYN + "\n\n:: server_\\d\\d\\.fin  active \\d\\d/\\d\\d\n"));
}

bool relay_session::wait_dropped(size_t count, int ms) {
  return relay.wait_matches(
      std::regex(SYN + "\n\n:: server_\\d\\d\\.fin  active \\d\\d/\\d\\d\n"), count, ms);
}

std::string relay_session::url(const std::string& scheme) const {
  return scheme + "://127.0.0.1:" + std::to_string(relay.port) + "/";
}

void relay_session::expect_still_serving() {
  relay_client a, b;
  ASSERT_TRUE(a.connect(relay.port));
  ASSERT_TRUE(b.connect(relay.port));
  ASSERT_TRUE(await_ready({&a, &b}, 10000)) << relay.out();
  ASSERT_TRUE(a.send_all("still serving a", 2000));
  EXPECT_TRUE(read_until(b, "still serving a", 5000));
  ASSERT_TRUE(b.send_all("still serving b", 2000));
  EXPECT_TRUE(read_until(a, "still serving b", 5000));
}

void relay_session::TearDown() {
  if (!relay.proc) return;
  relay.proc->pump(50);
  std::string report = sanitizer_report(relay.proc->err);
  EXPECT_TRUE(report.empty()) << "the relay's standard error:\n" << relay.proc->err;
  EXPECT_FALSE(relay.proc->exited) << "the relay ended during the test:\n"
                                   << relay.proc->out << relay.proc->err;
}

bool read_until(relay_client& c, const std::string& text, int ms, std::string* got) {
  std::string all;
  uint64_t end = now_us() + uint64_t(ms) * 1000;
  bool found = false;
  while (!found && now_us() < end && !c.peer_closed) {
    all += c.read(1 << 16, 20);
    found = without_control(all).find(text) != std::string::npos;
  }
  if (got != nullptr) *got += all;
  return found;
}

std::string sanitizer_report(const std::string& err) {
  for (const char* mark : {"Sanitizer", "runtime error:"}) {
    size_t at = err.find(mark);
    if (at != std::string::npos) return err.substr(at > 200 ? at - 200 : 0, 2000);
  }
  return "";
}

bool start_with_stdin(test_process* p, const std::string& program,
                      const std::vector<std::string>& argv, const std::string& cwd,
                      int* stdin_fd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) == -1) return false;
  child_stdin = fds[0];
  bool ok = p->start(program, argv, cwd, take_stdin);
  child_stdin = -1;
  ::close(fds[0]);
  if (!ok) {
    ::close(fds[1]);
    return false;
  }
  *stdin_fd = fds[1];
  return true;
}
