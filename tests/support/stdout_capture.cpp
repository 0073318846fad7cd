// stdout_capture: see stdout_capture.h. A temporary file rather than a pipe,
// so that a long output cannot block the writer.
#include "support/stdout_capture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

stdout_capture::stdout_capture() {
  std::fflush(stdout);
  char name[] = "/tmp/wsrelay_stdout_XXXXXX";
  file = ::mkstemp(name);
  if (file < 0) std::abort();
  ::unlink(name);
  saved = ::dup(1);
  ::dup2(file, 1);
}

stdout_capture::~stdout_capture() {
  std::fflush(stdout);
  ::dup2(saved, 1);
  ::close(saved);
  ::close(file);
}

std::string stdout_capture::text() const {
  std::fflush(stdout);
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
