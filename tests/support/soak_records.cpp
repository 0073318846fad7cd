#include "support/soak_records.h"

namespace {

constexpr uint8_t HEALTHY = 0x80;
constexpr uint8_t START = 0x04;
constexpr int DIGITS = int(SOAK_RECORD_SIZE);

uint16_t record_check(int lane, uint16_t gen, uint32_t seq) {
  uint32_t h = uint32_t(lane) * 0x9E3779B1u ^ uint32_t(gen) * 0x85EBCA77u ^ seq * 0xC2B2AE3Du;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 13;
  return uint16_t(h ^ (h >> 16));
}

uint32_t key_of(int lane, uint16_t gen) { return uint32_t(lane) << 16 | gen; }

}  // namespace

void put_soak_records(std::string* out, int lane, uint16_t gen, uint32_t first, size_t count) {
  out->reserve(out->size() + count * SOAK_RECORD_SIZE);
  for (size_t r = 0; r < count; ++r) {
    uint32_t seq = first + uint32_t(r);
    uint64_t bits = uint64_t(gen) << 48 | uint64_t(seq) << 16 | record_check(lane, gen, seq);
    for (int d = DIGITS - 1; d >= 0; --d) {
      uint8_t b = uint8_t(HEALTHY | lane << 3 | ((bits >> (2 * d)) & 3));
      if (d == DIGITS - 1) b |= START;
      out->push_back(char(b));
    }
  }
}

const soak_seen* soak_checker::find(int lane, uint16_t gen) const {
  auto it = seen.find(key_of(lane, gen));
  return it == seen.end() ? nullptr : &it->second;
}

void soak_checker::feed(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (p[i] < HEALTHY) {
      ++foreign;
      continue;
    }
    ++healthy;
    take_byte((p[i] >> 3) & 0x0F, p[i]);
  }
}

void soak_checker::take_byte(int lane, uint8_t b) {
  lane_state& s = lanes[lane];
  if (lane == SOAK_LANES) {
    fault(lane, "byte of a lane no sender uses");
    return;
  }
  if (b & START) {
    if (s.synced && s.digits != 0) s.cut = true;
    s.synced = true;
    s.digits = 0;
    s.bits = 0;
  } else if (!s.synced) {
    return;   // the tail of a record sent before this receiver was set up
  } else if (s.digits == 0) {
    s.cut = true;   // stray bytes: wait for the next record start
    s.synced = false;
    return;
  }
  s.bits = s.bits << 2 | (b & 3);
  if (++s.digits == DIGITS) complete(lane);
}

void soak_checker::complete(int lane) {
  lane_state& s = lanes[lane];
  s.digits = 0;
  uint16_t gen = uint16_t(s.bits >> 48);
  uint32_t seq = uint32_t(s.bits >> 16);
  if (uint16_t(s.bits) != record_check(lane, gen, seq)) {
    s.cut = true;   // judged with the next good record of the lane
    return;
  }
  if (lane == own_lane) fault(lane, "the receiver got its own records back");
  accept_record(lane, gen, seq);
}

void soak_checker::accept_record(int lane, uint16_t gen, uint32_t seq) {
  lane_state& s = lanes[lane];
  const std::string at = "connection " + std::to_string(gen) + " record " + std::to_string(seq);
  if (!s.have_last) {
    if (s.cut) fault(lane, "cut or spoilt record before " + at);
  } else if (gen == s.gen) {
    if (seq <= s.seq) {
      fault(lane, "record " + std::to_string(seq) + " after " + std::to_string(s.seq) +
                      " of connection " + std::to_string(gen));
    } else if (seq != s.seq + 1 || s.cut) {
      uint64_t missing = uint64_t(seq) - s.seq - 1;
      fault(lane, std::string(s.cut ? "cut or spoilt record, " : "") + "records " +
                      std::to_string(s.seq + 1) + " to " + std::to_string(seq) + " of connection " +
                      std::to_string(gen) + " lost (" + std::to_string(missing) + " whole)");
    }
  } else if (int16_t(gen - s.gen) < 0) {
    fault(lane, "connection " + std::to_string(gen) + " after connection " + std::to_string(s.gen));
  } else if (s.cut) {
    fault(lane, "cut or spoilt record between connections " + std::to_string(s.gen) + " and " +
                    std::to_string(gen));
  }
  s.cut = false;
  s.have_last = true;
  s.gen = gen;
  s.seq = seq;
  soak_seen& v = seen[key_of(lane, gen)];
  if (v.records == 0) v.first_seq = seq;
  v.last_seq = seq;
  v.records += 1;
}

void soak_checker::fault(int lane, const std::string& what) {
  if (errors.size() < 8) errors.push_back("lane " + std::to_string(lane) + ": " + what);
}
