// Captures what the process writes to its standard output (descriptor 1)
// while the object lives; text() gives what has been written so far.
//
//   stdout_capture out;
//   handshake(&ws, buffer);
//   EXPECT_EQ(out.text(), "\n\tInvalid ...\n");
#pragma once
#include <string>

struct stdout_capture {
  int saved = -1;
  int file = -1;

  stdout_capture();
  stdout_capture(const stdout_capture&) = delete;
  stdout_capture& operator=(const stdout_capture&) = delete;
  ~stdout_capture();

  std::string text() const;
};
