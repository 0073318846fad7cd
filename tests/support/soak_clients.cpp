#include "support/soak_clients.h"

#include <chrono>
#include <thread>

#include "support/client.h"

namespace {

constexpr int WAIT_MS = 20000;   // the longest any step of a healthy client may take

uint32_t key_of(int lane, uint16_t gen) { return uint32_t(lane) << 16 | gen; }

uint64_t after_ms(uint64_t ms) { return now_us() + ms * 1000; }

int pick(std::mt19937& rng, int from, int to) { return from + int(rng() % uint32_t(to - from + 1)); }

}  // namespace

uint16_t soak_world::begin(int lane, soak_link::kind k) {
  std::lock_guard<std::mutex> hold(lock);
  uint16_t gen = next_gen[lane]++;
  generation& g = generations[key_of(lane, gen)];
  g.kind = k;
  g.start_us = now_us();
  return gen;
}

std::vector<std::pair<uint32_t, soak_world::generation>> soak_world::snapshot() {
  std::lock_guard<std::mutex> hold(lock);
  return {generations.begin(), generations.end()};
}

void soak_world::fault(const std::string& what) {
  std::lock_guard<std::mutex> hold(lock);
  if (faults.size() < 20) faults.push_back(what);
}

void soak_world::count(const std::string& what) {
  std::lock_guard<std::mutex> hold(lock);
  counts[what] += 1;
}

void soak_world::add_tls_garbage(uint16_t port) {
  std::lock_guard<std::mutex> hold(lock);
  tls_garbage_ports.push_back(port);
}

void soak_world::copy_console(const std::string& out) {
  std::lock_guard<std::mutex> hold(lock);
  if (out.size() > console.size()) console.append(out, console.size());
}

size_t soak_world::console_size() {
  std::lock_guard<std::mutex> hold(lock);
  return console.size();
}

std::string soak_world::console_from(size_t at) {
  std::lock_guard<std::mutex> hold(lock);
  return at < console.size() ? console.substr(at) : std::string();
}

bool soak_world::failed() {
  std::lock_guard<std::mutex> hold(lock);
  return !faults.empty();
}

namespace {

// One connection of a healthy lane, from connect to the relay's close.
struct healthy_connection {
  soak_world* world;
  int lane;
  std::mt19937& rng;
  soak_link::kind kind;
  soak_link link;
  soak_checker check;
  uint16_t gen = 0;
  uint32_t seq = 0;
  uint64_t ready_us = 0;   // a byte had come: the relay relays to us since
  uint64_t whole_at_us = 0;   // it had all of every sender connection over by then
  std::string got;

  healthy_connection(soak_world* w, int l, std::mt19937& r, soak_link::kind k)
      : world(w), lane(l), rng(r), kind(k) {
    check.own_lane = lane;
  }

  std::string where() const {
    return "lane " + std::to_string(lane) + " connection " + std::to_string(gen) + " (" +
           soak_link::name(kind) + "): ";
  }

  void take(const std::string& bytes) {
    if (bytes.empty()) return;
    if (ready_us == 0) ready_us = now_us();
    check.feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }

  // Moves data both ways for at most `ms`; false when the link has ended.
  bool step(int ms) {
    got.clear();
    bool open = link.pump(&got, ms);
    take(got);
    if (!link.fault.empty()) {
      world->fault(where() + link.fault);
      return false;
    }
    return open;
  }

  bool run();
  bool set_up();
  bool send_for(uint64_t ms);
  bool flush();
  std::vector<std::string> missing(uint64_t over_by);
  bool wait_complete();
  bool end();
};

bool healthy_connection::set_up() {
  std::string why;
  if (!world->open_link(link, kind, &why)) {
    world->fault(where() + "set-up failed: " + why);
    return false;
  }
  if (kind == soak_link::raw) link.queue(std::string(1, char(HELLO_BYTE)));
  if (kind != soak_link::tls) return true;
  // The relay's read for a WebSocket request takes a TLS client's first
  // data, and either drops it or relays it as data; the hello byte is what
  // every receiver drops, and records wait until that read is over, which
  // the first byte relayed to this client shows.
  link.queue(std::string(1, char(HELLO_BYTE)));
  uint64_t end = after_ms(WAIT_MS);
  while (ready_us == 0 && now_us() < end)
    if (!step(5)) break;
  if (ready_us != 0) return true;
  world->fault(where() + "nothing relayed to it within " + std::to_string(WAIT_MS) + " ms");
  return false;
}

bool healthy_connection::send_for(uint64_t ms) {
  uint64_t end = after_ms(ms);
  uint64_t next = 0;
  while (now_us() < end) {
    if (link.idle() && now_us() >= next) {
      std::string chunk;
      size_t n = size_t(pick(rng, 1, 24));
      put_soak_records(&chunk, lane, gen, seq, n);
      seq += uint32_t(n);
      link.queue(link.frame(chunk, rng));
      next = after_ms(uint64_t(pick(rng, 1, 6)));
    }
    if (!step(2)) {
      world->fault(where() + "ended by the relay while it sent");
      return false;
    }
  }
  return true;
}

bool healthy_connection::flush() {
  uint64_t end = after_ms(WAIT_MS);
  while (!link.idle()) {
    if (!step(5)) {
      world->fault(where() + "ended by the relay while it sent");
      return false;
    }
    if (now_us() > end) {
      world->fault(where() + "the relay took none of its data for " + std::to_string(WAIT_MS) + " ms");
      return false;
    }
  }
  std::lock_guard<std::mutex> hold(world->lock);
  soak_world::generation& g = world->generations[key_of(lane, gen)];
  g.records = seq;
  g.sent = true;
  return true;
}

// What this receiver lacks of the sender connections that began after it
// was relayed to and were over by `over_by`: those it must have whole.
std::vector<std::string> healthy_connection::missing(uint64_t over_by) {
  std::vector<std::string> lacks;
  if (ready_us == 0) return lacks;
  for (const auto& [key, g] : world->snapshot()) {
    int from = int(key >> 16);
    uint16_t from_gen = uint16_t(key);
    if (from == lane || g.start_us <= ready_us) continue;
    const soak_seen* s = check.find(from, from_gen);
    std::string who = "lane " + std::to_string(from) + " connection " + std::to_string(from_gen) +
                      " (" + soak_link::name(g.kind) + ")";
    if (s && s->first_seq != 0)
      lacks.push_back(who + ": began at record " + std::to_string(s->first_seq));
    bool over = g.done_us != 0 && g.done_us < over_by;
    if (!over) continue;
    if (!s || s->records != g.records || s->last_seq + 1 != g.records)
      lacks.push_back(who + ": got " + std::to_string(s ? s->records : 0) + " of " +
                      std::to_string(g.records) + " records");
  }
  return lacks;
}

bool healthy_connection::wait_complete() {
  uint64_t end = after_ms(WAIT_MS);
  for (;;) {
    uint64_t now = now_us();
    std::vector<std::string> lacks = missing(now);
    if (lacks.empty()) {
      // Later ones may lose their last packet to this receiver's own end.
      whole_at_us = now;
      return true;
    }
    if (now_us() > end) {
      for (const std::string& l : lacks) world->fault(where() + l);
      return false;
    }
    for (int i = 0; i < 10; ++i)
      if (!step(5)) {
        world->fault(where() + "ended by the relay while it waited for data");
        return false;
      }
  }
}

// FIN, then read until the relay closes too: every record that the relay
// had from us is then relayed.
bool healthy_connection::end() {
  got.clear();
  link.shut_write(rng, &got);
  take(got);
  uint64_t end = after_ms(WAIT_MS);
  while (step(5)) {
    if (now_us() > end) {
      world->fault(where() + "the relay kept the connection " + std::to_string(WAIT_MS) +
                   " ms after its FIN");
      return false;
    }
  }
  if (!link.fault.empty()) return false;
  std::lock_guard<std::mutex> hold(world->lock);
  world->generations[key_of(lane, gen)].done_us = now_us();
  return true;
}

bool healthy_connection::run() {
  if (!set_up()) return false;
  gen = world->begin(lane, kind);
  world->count(std::string("healthy ") + soak_link::name(kind));
  bool ok = send_for(uint64_t(pick(rng, 1500, 4000))) && flush() && wait_complete() && end();
  for (const std::string& e : check.errors) world->fault(where() + e);
  world->healthy_bytes += check.healthy;
  if (ok)
    for (const std::string& l : missing(whole_at_us)) world->fault(where() + l);
  return ok && check.errors.empty();
}

}  // namespace

void run_healthy_worker(soak_world* world, int lane, uint32_t seed) {
  std::mt19937 rng(seed);
  int next_kind = lane;
  while (now_us() < world->deadline_us && !world->failed()) {
    soak_link::kind k = soak_link::kind(next_kind++ % 6);
    healthy_connection c(world, lane, rng, k);
    if (!c.run()) return;
  }
}
