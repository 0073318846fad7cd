// The load tool's message record, its check, and the latency histogram.
//
// A record is a 24-byte header followed by a payload cut from a fixed
// pattern at an offset that depends on the sender and the sequence number,
// so a receiver can check every byte with one memcmp, and a record shifted,
// cut or spliced from another shows as corrupt.
#pragma once
#include <cstdint>
#include <cstring>
#include <ctime>

namespace load {

constexpr uint16_t record_magic = 0x5AA5;   // first byte 0xA5: never a hello byte
constexpr uint32_t header_size = 24;
constexpr uint32_t pattern_span = 1024;     // offsets into the pattern
constexpr uint32_t max_record = 1u << 20;

struct record_header {
  uint16_t magic;
  uint16_t sender;
  uint32_t length;   // the whole record, header included
  uint64_t seq;
  uint64_t sent_ns;  // CLOCK_MONOTONIC when the record was built
};
static_assert(sizeof(record_header) == header_size);

inline uint64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

// The pattern, pattern_span + max_record bytes, filled once at start-up.
const uint8_t* pattern();

inline const uint8_t* payload_of(uint16_t sender, uint64_t seq) {
  return pattern() + ((seq * 13 + sender * 101) % pattern_span);
}

inline void build_record(uint8_t* out, uint16_t sender, uint32_t length, uint64_t seq,
                         uint64_t sent_ns) {
  record_header h{record_magic, sender, length, seq, sent_ns};
  std::memcpy(out, &h, header_size);
  std::memcpy(out + header_size, payload_of(sender, seq), length - header_size);
}

// Latency histogram in nanoseconds: exact below 64 ns, then 32 buckets per
// power of two (about 3% wide), up to 2^42 ns.
class histogram {
 public:
  static constexpr int buckets = 64 + 36 * 32;
  void add(uint64_t ns);
  void merge(const histogram& other);
  uint64_t count() const { return total_; }
  uint64_t max() const { return max_; }
  // The value below which the fraction q of the samples lie, in ns.
  uint64_t quantile(double q) const;

 private:
  static int index_of(uint64_t ns);
  static uint64_t upper_of(int index);
  uint64_t counts_[buckets] = {};
  uint64_t total_ = 0;
  uint64_t max_ = 0;
};

}  // namespace load
