// Captures what the process writes to one of its descriptors (1 or 2) while
// the object lives, into a temporary file; text() gives it so far.
//
//   fd_capture err(2);
//   report_error_stderr(5, L"open()");
//   EXPECT_EQ(err.text(), "open()\n   ^ERROR: 5, Access is denied.\r\n");
#pragma once
#include <string>

struct fd_capture {
  int target = -1;
  int saved = -1;
  int file = -1;

  explicit fd_capture(int fd);
  fd_capture(const fd_capture&) = delete;
  fd_capture& operator=(const fd_capture&) = delete;
  ~fd_capture();

  std::string text() const;
};
