// A real RFC 6455 client: Debian's python3-websockets, run by the script
// tests/clients/ws_peer.py, driven through a command file and watched
// through its standard output (see the script for both).
//
//   python_peer p;
//   ASSERT_TRUE(p.start(TESTS_DIR "/clients/ws_peer.py", "ws://127.0.0.1:" + port, dir));
//   ASSERT_TRUE(p.wait_open(10000));
//   p.send_text("hello");
//   ASSERT_TRUE(p.wait_messages(1, 5000));
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "support/process.h"

struct python_peer {
  struct message {
    bool text = false;
    std::string data;   // the bytes (UTF-8 for text)
    bool operator==(const message& o) const { return text == o.text && data == o.data; }
  };

  test_process proc;
  std::string command_file;

  // Starts the script on `url`, with its command file in `dir`.
  bool start(const std::string& script, const std::string& url, const std::string& dir);
  // True once the handshake is done; false when it failed or timed out.
  bool wait_open(int ms);
  bool send_text(const std::string& utf8) { return command("text " + hex(utf8)); }
  bool send_binary(const std::string& bytes) { return command("binary " + hex(bytes)); }
  bool close() { return command("close"); }

  std::vector<message> messages();   // received so far, in order
  bool wait_messages(size_t count, int ms);
  // Waits for the end of the connection; `codes` gets "RCVD SENT" (the close
  // codes received and sent, "-" for none).
  bool wait_closed(int ms, std::string* codes);
  bool closed();

 private:
  bool command(const std::string& line);
  static std::string hex(const std::string& bytes);
};
