#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

namespace {

int64_t now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Reads everything the pipe holds now; closes it at its end.
void drain(int* fd, std::string* into) {
  char buf[4096];
  for (;;) {
    ssize_t n = read(*fd, buf, sizeof buf);
    if (n > 0) {
      into->append(buf, size_t(n));
      continue;
    }
    if (n == -1 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
      close(*fd);
      *fd = -1;
    }
    return;
  }
}

}  // namespace

test_process::~test_process() { kill_and_reap(); }

bool test_process::start(const std::string& program, const std::vector<std::string>& argv,
                         const std::string& cwd, void (*before_exec)()) {
  if (pid != -1) return false;
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) == -1) return false;
  if (pipe2(err_pipe, O_CLOEXEC) == -1) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return false;
  }
  // Everything the child needs is built before fork: after it, the child of
  // a threaded test may only make async-signal-safe calls.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const char* dir = cwd.empty() ? nullptr : cwd.c_str();

  pid_t child = fork();
  if (child == 0) {
    int in = open("/dev/null", O_RDONLY);
    if (in == -1 || dup2(in, 0) == -1 || dup2(out_pipe[1], 1) == -1 || dup2(err_pipe[1], 2) == -1)
      _exit(126);
    if (dir != nullptr && chdir(dir) == -1) _exit(126);
    // Ignored signals and the signal mask survive exec: give the child the
    // defaults, whatever the test runner inherited.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) ::signal(sig, SIG_DFL);
    if (before_exec != nullptr) before_exec();
    execv(program.c_str(), args.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (child == -1) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    return false;
  }
  pid = child;
  out_fd = out_pipe[0];
  err_fd = err_pipe[0];
  fcntl(out_fd, F_SETFL, fcntl(out_fd, F_GETFL) | O_NONBLOCK);
  fcntl(err_fd, F_SETFL, fcntl(err_fd, F_GETFL) | O_NONBLOCK);
  exited = false;
  exit_code = -1;
  term_signal = 0;
  return true;
}

bool test_process::pump(int ms) {
  pollfd fds[2];
  nfds_t n = 0;
  if (out_fd != -1) fds[n++] = {out_fd, POLLIN, 0};
  if (err_fd != -1) fds[n++] = {err_fd, POLLIN, 0};
  if (n > 0 && poll(fds, n, ms < 0 ? 0 : ms) > 0) {
    if (out_fd != -1) drain(&out_fd, &out);
    if (err_fd != -1) drain(&err_fd, &err);
  }
  reap(false);
  return out_fd != -1 || err_fd != -1;
}

bool test_process::wait_text(const std::string& text, int ms, bool on_err) {
  const int64_t deadline = now_ms() + ms;
  for (;;) {
    const std::string& where = on_err ? err : out;
    if (where.find(text) != std::string::npos) return true;
    int64_t left = deadline - now_ms();
    if (left <= 0) return false;
    if (!pump(int(left > 50 ? 50 : left))) {
      if (exited) return where.find(text) != std::string::npos;
      usleep(2000);
    }
  }
}

void test_process::close_out() {
  if (out_fd != -1) close(out_fd);
  out_fd = -1;
}

bool test_process::wait_out(const std::string& text, int ms) { return wait_text(text, ms, false); }
bool test_process::wait_err(const std::string& text, int ms) { return wait_text(text, ms, true); }

bool test_process::wait_exit(int ms) {
  const int64_t deadline = now_ms() + ms;
  for (;;) {
    int64_t left = deadline - now_ms();
    bool open = pump(int(left < 0 ? 0 : left > 50 ? 50 : left));
    if (exited) {
      // All it wrote is in the pipes by now; a grandchild may hold them open.
      pump(0);
      return true;
    }
    if (left <= 0) return false;
    if (!open) usleep(2000);
  }
}

bool test_process::signal(int sig) {
  if (pid == -1 || exited) return false;
  return kill(pid, sig) == 0;
}

void test_process::kill_and_reap() {
  if (pid != -1 && !exited) {
    kill(pid, SIGKILL);
    reap(true);
  }
  close_pipes();
}

void test_process::reap(bool block) {
  if (pid == -1 || exited) return;
  int status = 0;
  pid_t r;
  do r = waitpid(pid, &status, block ? 0 : WNOHANG);
  while (r == -1 && errno == EINTR);
  if (r != pid) return;
  exited = true;
  if (WIFEXITED(status)) exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) term_signal = WTERMSIG(status);
}

void test_process::close_pipes() {
  if (out_fd != -1) close(out_fd);
  if (err_fd != -1) close(err_fd);
  out_fd = err_fd = -1;
}

temp_dir::temp_dir() {
  char name[] = "/tmp/wsrelay-test-XXXXXX";
  if (mkdtemp(name) != nullptr) path = name;
}

temp_dir::~temp_dir() {
  if (path.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}
