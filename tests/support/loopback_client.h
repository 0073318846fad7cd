// The client end of loopback_pair, on the system's own sockets. Kept apart
// from the platform layer's header, whose Winsock names clash with the
// system's socket macros.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

int loopback_connect(uint16_t port);                    // descriptor or -1
bool loopback_send_all(int fd, const void* data, size_t size);
std::string loopback_read(int fd, size_t size, int ms);  // up to size bytes
std::string loopback_read_available(int fd, int ms);
void loopback_close(int fd);
