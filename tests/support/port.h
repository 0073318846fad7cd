// TCP ports on this machine for the tests.
#pragma once
#include <cstdint>

// A port that the test itself holds: a socket bound to 0.0.0.0 on a port the
// system chose, listening, until the object goes. A relay started on this
// port fails to bind (SO_REUSEADDR does not take a listening port).
struct held_port {
  int fd = -1;
  uint16_t port = 0;   // 0 when no port could be had
  held_port();
  ~held_port();
  held_port(const held_port&) = delete;
  held_port& operator=(const held_port&) = delete;
};

// A port that was free a moment ago (bound to 0.0.0.0, then released).
uint16_t free_port();
