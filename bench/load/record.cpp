#include "record.h"

#include <algorithm>
#include <bit>
#include <random>

namespace load {

const uint8_t* pattern() {
  static const uint8_t* bytes = [] {
    static uint8_t buf[pattern_span + max_record];
    std::mt19937 rng(12345);
    for (uint8_t& b : buf) b = uint8_t(rng());
    return buf;
  }();
  return bytes;
}

int histogram::index_of(uint64_t ns) {
  if (ns < 64) return int(ns);
  int e = 63 - std::countl_zero(ns);   // 6 and up
  int i = 64 + (e - 6) * 32 + int((ns >> (e - 5)) & 31);
  return std::min(i, buckets - 1);
}

uint64_t histogram::upper_of(int index) {
  if (index < 64) return uint64_t(index);
  int e = (index - 64) / 32 + 6;
  uint64_t m = uint64_t((index - 64) % 32) + 32;
  return ((m + 1) << (e - 5)) - 1;
}

void histogram::add(uint64_t ns) {
  counts_[index_of(ns)] += 1;
  total_ += 1;
  max_ = std::max(max_, ns);
}

void histogram::merge(const histogram& other) {
  for (int i = 0; i < buckets; ++i) counts_[i] += other.counts_[i];
  total_ += other.total_;
  max_ = std::max(max_, other.max_);
}

uint64_t histogram::quantile(double q) const {
  if (total_ == 0) return 0;
  uint64_t rank = uint64_t(q * double(total_));
  if (rank >= total_) rank = total_ - 1;
  uint64_t seen = 0;
  for (int i = 0; i < buckets; ++i) {
    seen += counts_[i];
    if (seen > rank) return std::min(upper_of(i), max_);
  }
  return max_;
}

}  // namespace load
