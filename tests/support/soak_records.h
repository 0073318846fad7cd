// Records of the soak's healthy senders, and the check a healthy receiver
// runs on everything the relay hands it.
//
// The relay merges the streams of many senders at arbitrary points, so every
// byte names its sender's lane: 1 LLLL S DD, with the lane L (0 to 14, so
// that 0xFF never occurs and hixie-76 framing survives), S on a record's
// first byte, and two bits of the record. A record is 32 bytes: a 16-bit
// generation (which connection of the lane), a 32-bit sequence number and a
// 16-bit check over lane, generation and sequence.
//
// Faulty clients send only bytes below 0x80, so a receiver can tell them
// apart from healthy records whatever the relay does with them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

constexpr size_t SOAK_RECORD_SIZE = 32;
constexpr int SOAK_LANES = 15;

// Appends `count` records of (lane, gen) from sequence number `first`.
void put_soak_records(std::string* out, int lane, uint16_t gen, uint32_t first, size_t count);

// What one receiver got of one sender connection (lane, generation).
struct soak_seen {
  uint32_t first_seq = 0;
  uint32_t last_seq = 0;
  uint64_t records = 0;
};

// Takes apart the stream of one receiver, which must get every record of
// every sender whole and in order, whatever the kinds of the two.
struct soak_checker {
  int own_lane = -1;        // a receiver never gets its own bytes back

  uint64_t foreign = 0;     // bytes below 0x80
  uint64_t healthy = 0;     // record bytes
  std::map<uint32_t, soak_seen> seen;   // key: lane << 16 | gen
  std::vector<std::string> errors;      // the first few faults

  void feed(const uint8_t* p, size_t n);
  const soak_seen* find(int lane, uint16_t gen) const;

 private:
  struct lane_state {
    bool synced = false;     // a record start has been seen
    bool cut = false;        // a record was cut or spoilt since the last good one
    int digits = 0;
    uint64_t bits = 0;
    bool have_last = false;
    uint16_t gen = 0;
    uint32_t seq = 0;
  };
  lane_state lanes[16];
  void fault(int lane, const std::string& what);
  void take_byte(int lane, uint8_t b);
  void complete(int lane);
  void accept_record(int lane, uint16_t gen, uint32_t seq);
};
