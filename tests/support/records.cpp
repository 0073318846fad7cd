#include "support/records.h"

#include "support/client.h"

namespace {

constexpr uint8_t START = 0x10;
constexpr size_t STAMP_NIBBLES = 12;

}  // namespace

void put_record(std::string* out, int tag, uint32_t seq, uint64_t stamp_us) {
  uint64_t fields[2] = {seq, stamp_us & 0xFFFFFFFFFFFFull};
  size_t widths[2] = {8, STAMP_NIBBLES};
  bool first = true;
  for (int f = 0; f < 2; ++f) {
    for (size_t i = widths[f]; i-- > 0;) {
      uint8_t b = uint8_t(tag << 5) | uint8_t((fields[f] >> (4 * i)) & 0xF);
      if (first) b |= START;
      first = false;
      out->push_back(char(b));
    }
  }
}

std::string make_records(int tag, uint32_t first, size_t count) {
  std::string out;
  out.reserve(count * RECORD_SIZE);
  uint64_t stamp = now_us();
  for (size_t i = 0; i < count; ++i) put_record(&out, tag, first + uint32_t(i), stamp);
  return out;
}

void record_checker::feed(const std::string& bytes) { feed(bytes.data(), bytes.size()); }

void record_checker::feed(const char* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    uint8_t b = uint8_t(p[i]);
    int tag = b >> 5;
    if (tag == 0) continue;
    sender& s = senders[tag];
    if (b & START) {
      if (s.synced && s.nibbles != 0) fault(tag, "record cut short");
      s.synced = true;
      s.nibbles = 0;
      s.seq = 0;
      s.stamp = 0;
    } else if (!s.synced) {
      continue;   // the tail of a record sent before this receiver joined
    } else if (s.nibbles == 0) {
      fault(tag, "byte outside a record");
      continue;
    }
    uint8_t nibble = b & 0xF;
    if (s.nibbles < 8)
      s.seq = (s.seq << 4) | nibble;
    else
      s.stamp = (s.stamp << 4) | nibble;
    if (++s.nibbles == RECORD_SIZE) complete(tag);
  }
}

void record_checker::complete(int tag) {
  sender& s = senders[tag];
  if (s.have_seq && s.seq != s.last_seq + 1) fault(tag, "sequence jumps from " +
      std::to_string(s.last_seq) + " to " + std::to_string(s.seq));
  if (!s.have_seq) s.first_seq = s.seq;
  s.have_seq = true;
  s.last_seq = s.seq;
  if (s.stamp < s.oldest_stamp) s.oldest_stamp = s.stamp;
  s.records += 1;
  s.nibbles = 0;
}

void record_checker::fault(int tag, const std::string& what) {
  if (errors.size() < 8) errors.push_back("sender " + std::to_string(tag) + ": " + what);
}
