// A fault soak: every one of the relay's 32 slots is kept busy by a mix of
// healthy clients of every kind, which send numbered records and check every
// byte they receive, and faulty clients, which reset mid-frame, stop reading
// for a while, send garbage, malformed frames or handshakes, or connect and
// vanish. It passes when no healthy receiver ever got a corrupt, reordered,
// foreign-lane or missing record, no healthy connection was dropped or held
// up for long, the relay reported no fault on its console, it still serves
// afterwards, and its descriptors and memory are back where they were. A
// WebSocket request that the relay judged late (it relays such a connection
// raw, by design) is tried again on a fresh connection, a few times at most.
//
// CI runs a short form (30 s of soak). The long form runs by hand:
//   WSRELAY_SOAK_SECONDS=1800 build/tests/test_soak
// WSRELAY_SOAK_SEED=<n> repeats a run's choices (the seed is printed).
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/client.h"
#include "support/peer_set.h"
#include "support/relay_session.h"
#include "support/soak_clients.h"
#include "support/soak_console.h"
#include "support/soak_setup.h"

namespace {

constexpr int HEALTHY_WORKERS = 12;
constexpr int FAULTY_WORKERS = 20;   // with the healthy ones: all 32 slots
constexpr int SHORT_SECONDS = 30;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers keep freed memory aside for a while and map shadow memory
// as the relay touches new addresses.
constexpr long RSS_GROWTH_LIMIT_KB = 96 * 1024;
#else
constexpr long RSS_GROWTH_LIMIT_KB = 16 * 1024;
#endif

// ASan keeps freed memory in a quarantine (256 MB by default) before it is
// used again, which the relay's resident size would show as growth; a small
// quarantine keeps that size a measure of what the relay holds.
void shrink_asan_quarantine() {
#if defined(__SANITIZE_ADDRESS__)
  const char* v = std::getenv("ASAN_OPTIONS");
  std::string options = v != nullptr ? v : "";
  setenv("ASAN_OPTIONS", (options + (options.empty() ? "" : ":") + "quarantine_size_mb=16").c_str(), 1);
#endif
}

long env_number(const char* name, long fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::strtol(v, nullptr, 10) : fallback;
}

size_t open_descriptors(pid_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = opendir(path.c_str());
  if (d == nullptr) return 0;
  size_t n = 0;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}

long resident_kb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

// Keeps the relay's output pipes drained (a full pipe would stop the relay
// in the middle of a console line), copies its output for the workers, and
// samples its memory meanwhile.
struct relay_watch {
  running_relay* relay;
  soak_world* world;
  uint64_t warm_until_us;
  std::atomic<bool> stopping{false};
  long warm_rss_kb = -1;   // at the end of the warm-up
  long peak_rss_kb = -1;   // after the warm-up
  std::thread thread;

  relay_watch(running_relay* r, soak_world* w, uint64_t warm_us)
      : relay(r), world(w), warm_until_us(warm_us) {
    thread = std::thread([this] { run(); });
  }
  ~relay_watch() { stop(); }
  void stop() {
    stopping.store(true);
    if (thread.joinable()) thread.join();
  }
  void run() {
    while (!stopping.load()) {
      relay->proc->pump(50);
      world->copy_console(relay->proc->out);
      long rss = resident_kb(relay->proc->pid);
      if (now_us() < warm_until_us) {
        warm_rss_kb = rss;
      } else if (rss > peak_rss_kb) {
        peak_rss_kb = rss;
      }
    }
  }
};

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

struct Soak : relay_session {
  soak_world world;
  uint32_t seed = 0;

  void run_workers() {
    std::vector<std::thread> workers;
    for (int lane = 0; lane < HEALTHY_WORKERS; ++lane)
      workers.emplace_back(run_healthy_worker, &world, lane, seed + uint32_t(lane));
    for (int i = 0; i < FAULTY_WORKERS; ++i)
      workers.emplace_back(run_faulty_worker, &world, seed + 1000 + uint32_t(i));
    for (std::thread& t : workers) t.join();
  }

  // Every connection the relay took has ended; false when some never did.
  bool all_ended(int ms) {
    uint64_t end = now_us() + uint64_t(ms) * 1000;
    for (;;) {
      const std::string& out = relay.out();
      if (count_of(out, ":: SYN from ") == count_of(out, ".fin  active ")) return true;
      if (now_us() > end) return false;
      relay.proc->pump(50);
    }
  }

  bool descriptors_back_to(size_t baseline, size_t* now, int ms) {
    uint64_t end = now_us() + uint64_t(ms) * 1000;
    for (;;) {
      *now = open_descriptors(relay.proc->pid);
      if (*now == baseline) return true;
      if (now_us() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  void report_figures(long seconds, uint64_t started_us) {
    std::string out = relay.out();
    std::cout << "soak: seed " << seed << ", " << seconds << " s planned, "
              << (now_us() - started_us) / 1000000 << " s run, "
              << count_of(out, ":: SYN from ") << " connections, "
              << world.healthy_bytes.load() << " record bytes checked by healthy receivers, "
              << world.late_setups.load() << " WebSocket set-ups judged late and tried again\n";
    for (const auto& [what, n] : world.counts) std::cout << "  " << n << "  " << what << "\n";
  }
};

TEST_F(Soak, HealthyClientsGetEveryRecordIntactWhileFaultyClientsComeAndGo) {
  const long seconds = env_number("WSRELAY_SOAK_SECONDS", SHORT_SECONDS);
  seed = uint32_t(env_number("WSRELAY_SOAK_SEED", long(std::random_device{}() & 0x7FFFFFFF)));
  ASSERT_TRUE(add_certificate());
  shrink_asan_quarantine();
  ASSERT_TRUE(start(WSRELAY_BIN, {"-c", "32"}));
  const pid_t pid = relay.proc->pid;
  const size_t fd_baseline = open_descriptors(pid);
  ASSERT_GT(fd_baseline, 0u);

  world.port = relay.port;
  const uint64_t started = now_us();
  world.deadline_us = started + uint64_t(seconds) * 1000000;
  relay_watch watch(&relay, &world, started + uint64_t(seconds) * 250000);
  run_workers();
  watch.stop();
  report_figures(seconds, started);

  for (const std::string& f : world.faults) ADD_FAILURE() << f;
  ASSERT_FALSE(relay.proc->exited) << relay.proc->err;
  EXPECT_TRUE(all_ended(10000)) << "some connection never ended";
  for (int k = soak_link::raw; k <= soak_link::hixie_tls; ++k)
    EXPECT_GT(world.counts[std::string("healthy ") + soak_link::name(soak_link::kind(k))], 0u);
  EXPECT_GT(world.healthy_bytes.load(), 0u);

  size_t fds = 0;
  EXPECT_TRUE(descriptors_back_to(fd_baseline, &fds, 10000))
      << "the relay holds " << fds << " descriptors, " << fd_baseline << " before the soak";
  long rss = resident_kb(pid);
  EXPECT_LE(rss, watch.warm_rss_kb + RSS_GROWTH_LIMIT_KB)
      << "resident memory after the soak " << rss << " kB, after the warm-up "
      << watch.warm_rss_kb << " kB (peak " << watch.peak_rss_kb << " kB)";

  soak_console console;
  console.scan(relay.out(), {world.tls_garbage_ports.begin(), world.tls_garbage_ports.end()});
  for (const std::string& u : console.unexpected) ADD_FAILURE() << "the relay printed " << u;
  EXPECT_EQ(console.connections, console.ends);

  expect_still_serving();
}

// What the console shows of one connection's set-up, found by its port
// among the lines of others.
TEST(SoakConsoleKind, IsTheKindRightAfterTheConnectionsLatestLine) {
  auto syn = [](int port, int slot) {
    char line[96];
    std::snprintf(line, sizeof line,
                  "\r:: SYN from 127.0.0.1:%d  :: server_%02d.working  active 05/32  ", port, slot);
    return std::string(line);
  };
  const std::string fin = ":: server_07.fin  active 04/32\n";
  const std::string refused = "\n\tInvalid or unsupported WebSocket handshake from the client!\n";
  struct row { std::string out; console_kind want; };
  const row rows[] = {
      {syn(53510, 1) + "RAW\n", console_kind::raw},
      {syn(53510, 1) + "TLS\n", console_kind::tls},
      {syn(53510, 1) + "WS\n" + fin, console_kind::ws},
      {syn(53510, 1) + "WSS\n", console_kind::wss},
      {syn(5351, 2) + "RAW\n", console_kind::no_line},               // another port's line
      {syn(535100, 2) + "RAW\n", console_kind::no_line},
      {syn(53510, 1) + "WS\n" + syn(53510, 3) + "RAW\n", console_kind::raw},   // port reused
      {syn(53510, 1) + syn(40000, 2) + "WS\n", console_kind::none},
      {syn(53510, 1) + "\n\n" + fin + "RAW\n", console_kind::none},
      {syn(53510, 1) + refused + "RAW\n", console_kind::none},
      {syn(53510, 1), console_kind::pending},                        // set-up not over yet
      {syn(53510, 1) + "WS", console_kind::pending},
      {syn(53510, 1).substr(0, 40), console_kind::pending},           // the line cut short
  };
  for (const row& r : rows)
    EXPECT_EQ(console_kind_of(r.out, 53510), r.want) << name(r.want) << ": " << shown(r.out);
}

// A failed WebSocket set-up counts as late only when the relay relays the
// connection without WebSocket and sent no reply.
TEST(SoakLateSetUp, IsToldFromAWrongReply) {
  std::string earlier, records;
  put_soak_records(&earlier, 3, 7, 96, 1);
  put_soak_records(&records, 3, 7, 100, 4);
  // As a raw receiver gets them: behind the tail of an earlier record, among
  // other clients' bytes.
  const std::string relayed = earlier.substr(20) + "\x01GET " + records + "junk";
  std::string spoilt = relayed;
  spoilt[relayed.size() / 2] = char(spoilt[relayed.size() / 2] ^ 1);
  const std::string wrong = "HTTP/1.1 400 Bad Request\r\n\r\n";
  using ck = console_kind;
  using sk = soak_link;
  struct row { ck said; sk::kind k; std::string answer; bool late; };
  const row rows[] = {
      {ck::raw, sk::ws, relayed, true},
      {ck::raw, sk::hixie, "", true},          // nothing relayed to it meanwhile
      {ck::tls, sk::wss, relayed, true},
      {ck::tls, sk::hixie_tls, "junk", true},
      // Records relayed raw before any reply prove it, whatever kind follows
      // the line: it may be another connection's.
      {ck::none, sk::ws, relayed, true},
      {ck::ws, sk::ws, relayed, true},
      {ck::wss, sk::hixie_tls, relayed, true},
      {ck::tls, sk::hixie, relayed, true},
      // A reply, however wrong, is a fault whatever the console says.
      {ck::raw, sk::ws, wrong, false},
      {ck::tls, sk::wss, "HTTP/1.1 101 Switching Protocols\r\n", false},
      {ck::none, sk::hixie, "HTT", false},
      {ck::raw, sk::ws, wrong + records, false},
      // Neither the console nor the records prove it.
      {ck::ws, sk::ws, "", false},
      {ck::wss, sk::wss, "junk", false},
      {ck::tls, sk::ws, "", false},            // the other side of TLS
      {ck::raw, sk::hixie_tls, "", false},
      {ck::none, sk::ws, "", false},
      {ck::none, sk::ws, "GET junk only", false},
      {ck::none, sk::wss, spoilt, false},
      {ck::none, sk::hixie, records.substr(0, 31), false},
      {ck::no_line, sk::ws, "", false},
      {ck::pending, sk::ws, "", false},
      // Only a WebSocket set-up can be late.
      {ck::raw, sk::raw, relayed, false},
      {ck::tls, sk::tls, relayed, false},
  };
  for (const row& r : rows)
    EXPECT_EQ(judged_late(r.said, r.k, r.answer), r.late)
        << name(r.said) << " for " << sk::name(r.k) << ": " << shown(r.answer.substr(0, 40));
}

// The relay itself, with a request held past its window: the set-up is
// tried again, and a relay that takes no request in time still fails.
struct SoakSetUp : relay_session {
  soak_world world;
  std::atomic<bool> stopping{false};
  std::thread sender;

  // A raw client that keeps sending records, so that a connection the relay
  // relays raw soon gets some.
  void start_sender() {
    sender = std::thread([this] {
      relay_client c;
      if (!c.connect(relay.port)) return;
      for (uint32_t seq = 0; !stopping.load(); seq += 8) {
        std::string chunk;
        put_soak_records(&chunk, 0, 0, seq, 8);
        c.send_all(chunk, 1000);
        c.read(1 << 16, 1);
      }
    });
  }
  void TearDown() override {
    stopping.store(true);
    if (sender.joinable()) sender.join();
    relay_session::TearDown();
  }
};

TEST_F(SoakSetUp, ARequestHeldPastTheWindowIsTriedAgain) {
  ASSERT_TRUE(add_certificate());
  ASSERT_TRUE(start(WSRELAY_BIN, {"-c", "8"}));
  world.port = relay.port;
  relay_watch watch(&relay, &world, 0);
  start_sender();
  const soak_link::kind kinds[] = {soak_link::ws, soak_link::wss, soak_link::hixie,
                                   soak_link::hixie_tls};
  // A plain connection waits out two windows, one for a ClientHello and
  // one for a request.
  auto hold_ms = [](soak_link::kind k) { return soak_link::secure(k) ? 800 : 1300; };
  uint64_t late = 0;
  for (soak_link::kind k : kinds) {
    soak_link l;
    l.holds = 1;
    l.hold_ms = hold_ms(k);
    std::string why;
    EXPECT_TRUE(world.open_link(l, k, &why)) << soak_link::name(k) << ": " << why;
    EXPECT_EQ(world.late_setups.load(), ++late) << soak_link::name(k);
  }
  soak_link l;
  l.holds = 1000;
  l.hold_ms = hold_ms(soak_link::wss);
  std::string why;
  EXPECT_FALSE(world.open_link(l, soak_link::wss, &why));
  EXPECT_NE(why.find("judged late 5 times in a row"), std::string::npos) << why;
}

}  // namespace
