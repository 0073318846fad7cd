// fd_capture: see fd_capture.h. A file rather than a pipe, so that a long
// output cannot block the writer.
#include "support/fd_capture.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

fd_capture::fd_capture(int fd) : target(fd) {
  std::fflush(nullptr);  // nothing the test framework buffered may land here
  char name[] = "/tmp/wsrelay_capture_XXXXXX";
  file = ::mkstemp(name);
  if (file < 0) std::abort();
  ::unlink(name);
  saved = ::dup(fd);
  ::dup2(file, fd);
}

fd_capture::~fd_capture() {
  std::fflush(nullptr);
  ::dup2(saved, target);
  ::close(saved);
  ::close(file);
}

std::string fd_capture::text() const {
  std::string all;
  char buf[4096];
  off_t at = 0;
  for (;;) {
    ssize_t n = ::pread(file, buf, sizeof buf, at);
    if (n <= 0) break;
    all.append(buf, size_t(n));
    at += n;
  }
  return all;
}
