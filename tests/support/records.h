// Sequence-numbered, time-stamped records that survive any interleaving of
// several senders' bytes: every byte carries its sender's tag, so a receiver
// can take apart what the relay merged, whatever the read boundaries were.
//
// Byte: tag in bits 7-5 (1 to 7; bytes of tag 0 are other traffic and are
// ignored), bit 4 marks a record's first byte, bits 3-0 carry one nibble.
// A record is 20 bytes: a 32-bit sequence number, then a 48-bit time stamp
// in microseconds of now_us(), most significant nibble first.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr size_t RECORD_SIZE = 20;
constexpr int MAX_TAG = 7;

// Appends record `seq` of sender `tag`, stamped `stamp_us`.
void put_record(std::string* out, int tag, uint32_t seq, uint64_t stamp_us);
// `count` consecutive records from `first`, all stamped now.
std::string make_records(int tag, uint32_t first, size_t count);

// Takes the merged stream apart and checks each sender's part: records
// whole, numbers consecutive. A receiver that joined in the middle of a
// sender's stream starts with that sender's first record that is whole.
struct record_checker {
  struct sender {
    bool synced = false;        // a record start has been seen
    size_t nibbles = 0;         // of the record being read
    uint32_t seq = 0;
    uint64_t stamp = 0;
    bool have_seq = false;
    uint32_t first_seq = 0;
    uint32_t last_seq = 0;
    size_t records = 0;
    uint64_t oldest_stamp = UINT64_MAX;
  };
  sender senders[MAX_TAG + 1];
  std::vector<std::string> errors;   // the first few faults found

  void feed(const std::string& bytes);
  void feed(const char* p, size_t n);
  size_t records(int tag) const { return senders[tag].records; }

 private:
  void fault(int tag, const std::string& what);
  void complete(int tag);
};
