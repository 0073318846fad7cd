// A child process for the tests: the built relay (or any program) started
// with a chosen argv and working directory, its standard output and standard
// error captured apart, read while it runs and after it has ended.
//
//   test_process p;
//   ASSERT_TRUE(p.start(WSRELAY_BIN, {"wsrelay", "-p", "0"}, dir));
//   ASSERT_TRUE(p.wait_exit(5000));
//   EXPECT_EQ(p.exit_code, 0);
//   EXPECT_NE(p.out.find(":: config ::"), std::string::npos);
//
// Standard input is /dev/null. Every wait has a time limit. A child still
// running when the object goes is killed (SIGKILL) and reaped.
#pragma once
#include <sys/types.h>
#include <string>
#include <vector>

struct test_process {
  pid_t pid = -1;
  std::string out;        // standard output read so far
  std::string err;        // standard error read so far
  bool exited = false;    // the child has ended and been reaped
  int exit_code = -1;     // its exit status when it returned or called exit
  int term_signal = 0;    // the signal that ended it, else 0

  test_process() = default;
  test_process(const test_process&) = delete;
  test_process& operator=(const test_process&) = delete;
  ~test_process();

  // Starts `program` with `argv` (argv[0] is given to the program as it
  // stands) in `cwd` (empty: the current directory). `before_exec`, when set,
  // runs in the child between fork and exec, e.g. to lower a resource limit.
  // False when the child could not be started.
  bool start(const std::string& program, const std::vector<std::string>& argv,
             const std::string& cwd = "", void (*before_exec)() = nullptr);

  // Reads what has arrived on both pipes, waiting at most `ms` for the first
  // bytes; notices the child's end. False once both pipes are closed.
  bool pump(int ms);
  // Reads until standard output (or standard error) holds `text`, the child
  // ends, or `ms` pass. True when the text was seen.
  bool wait_out(const std::string& text, int ms);
  bool wait_err(const std::string& text, int ms);
  // Reads until the child has ended, then takes what is left in the pipes;
  // false when it still runs after `ms`.
  bool wait_exit(int ms);
  // Sends `sig` to the child; false when it has already been reaped.
  bool signal(int sig);
  // Kills a child that still runs and reaps it.
  void kill_and_reap();
  // Closes our end of its standard output, as a reader that has gone.
  void close_out();

 private:
  int out_fd = -1;
  int err_fd = -1;
  bool wait_text(const std::string& text, int ms, bool on_err);
  void reap(bool block);
  void close_pipes();
};

// A fresh empty directory under /tmp, removed with its contents when the
// object goes.
struct temp_dir {
  std::string path;
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
};
