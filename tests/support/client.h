// Raw TCP clients of a running relay, on 127.0.0.1, for process tests.
// Every wait has a time limit.
//
// A client sends one hello byte (HELLO_BYTE) as soon as it is connected: the
// relay sets a connection up at once when its first bytes have come, instead
// of waiting out its receive time-outs. The relay passes that byte on to the
// others like any data, so test data never uses HELLO_BYTE or SYNC_BYTE.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

constexpr uint8_t HELLO_BYTE = 0x01;
constexpr uint8_t SYNC_BYTE = 0x02;

// Microseconds on a monotonic clock shared by every thread of the test.
uint64_t now_us();

struct relay_client {
  int fd = -1;
  uint16_t local_port = 0;     // the client's own port, as the relay sees it
  uint64_t connect_us = 0;     // when connect() was called
  bool peer_closed = false;    // a read found the connection ended

  relay_client() = default;
  relay_client(const relay_client&) = delete;
  relay_client& operator=(const relay_client&) = delete;
  ~relay_client();

  // Connects and sends the hello byte. A buffer size of 0 keeps the system's.
  bool connect(uint16_t port, int rcvbuf = 0, int sndbuf = 0, bool hello = true);
  bool send_all(const void* data, size_t size, int ms);
  bool send_all(const std::string& s, int ms) { return send_all(s.data(), s.size(), ms); }
  // Takes what the socket accepts now, without waiting; -1 when it failed.
  long send_now(const void* data, size_t size);
  // Reads until `max` bytes have come, the peer closes, or `ms` pass.
  std::string read(size_t max, int ms);
  // True when the relay has closed the connection (a read gives 0 or fails)
  // within `ms`; the data read meanwhile is dropped.
  bool wait_closed(int ms);
  void close();   // FIN, or RST when unread data is left
  // Sends FIN, reads until the relay has closed too (or `ms` pass), closes.
  void close_in_order(int ms);
  void reset();   // SO_LINGER 0: RST
};

// A thread that reads one client until it closes or the reader is stopped.
struct background_reader {
  explicit background_reader(relay_client* c);
  ~background_reader();
  background_reader(const background_reader&) = delete;
  background_reader& operator=(const background_reader&) = delete;

  std::string data();                 // everything read so far
  size_t size();
  bool closed() const { return eof.load(); }   // the relay closed the connection
  // Waits until `pred(data)` holds or `ms` pass.
  template <class Pred> bool wait_for(Pred pred, int ms);
  void stop();

 private:
  relay_client* client;
  std::mutex lock;
  std::string received;
  std::atomic<bool> stopping{false};
  std::atomic<bool> eof{false};
  std::thread thread;
  void run();
};

template <class Pred> bool background_reader::wait_for(Pred pred, int ms) {
  uint64_t end = now_us() + uint64_t(ms) * 1000;
  for (;;) {
    if (pred(data())) return true;
    if (now_us() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// Waits until the relay relays to every client of `clients` (each has
// received a byte since the call began): two of them keep sending SYNC_BYTE
// meanwhile. Needs at least two clients. Received bytes are dropped.
bool await_ready(const std::vector<relay_client*>& clients, int ms);

// Drops the hello and sync bytes of other clients.
std::string without_control(const std::string& s);
