// wsrelay-load: drives a running relay with S senders and R receivers and
// reports offered and delivered rates, latency and the count of corrupt,
// lost and reordered records. With --direct the same load also runs over
// direct loopback connections from each sender to each receiver, the floor
// the relay is compared with.
#include <openssl/ssl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "conn.h"
#include "receiver.h"
#include "record.h"
#include "sender.h"

namespace load {
namespace {

struct options {
  std::string host = "127.0.0.1";
  int port = 8081;
  int senders = 1;
  int receivers = 1;
  std::vector<kind> receiver_kinds{kind::raw};   // cycled over the receivers
  std::vector<kind> sender_kinds;                // default: the first receiver kind
  uint32_t size = 64;
  uint32_t batch = 65536;
  double rate = 0;
  double seconds = 3;
  double warmup = 0.5;
  bool relay = true;
  bool direct = false;
  std::string label;
  int relay_pid = 0;   // when given, the relay's CPU time is reported
};

struct result {
  double offered_msgs = 0, offered_mb = 0, delivered_msgs = 0, delivered_mb = 0;
  double p50 = 0, p99 = 0, p999 = 0, max = 0;   // microseconds
  double relay_cpus = -1;                          // CPUs the relay kept busy
  uint64_t corrupt = 0, lost = 0, reordered = 0;
  bool failed = false;
};

void usage() {
  std::fprintf(stderr,
      "usage: wsrelay-load [--host H] [--port P] [-S senders] [-R receivers]\n"
      "         [--kind raw|tls|ws|wss|mixed|k1,k2,...] [--sender-kind K[,K...]]\n"
      "         [--size bytes] [--rate msgs/s per sender] [--batch bytes]\n"
      "         [--seconds T] [--warmup T] [--direct | --direct-only] [--label text]\n"
      "         [--relay-pid PID]\n");
}

bool parse_kinds(const std::string& text, std::vector<kind>* out) {
  out->clear();
  std::string list = text == "mixed" ? "raw,tls,ws,wss" : text;
  size_t at = 0;
  while (at <= list.size()) {
    size_t comma = list.find(',', at);
    if (comma == std::string::npos) comma = list.size();
    kind k;
    if (!parse_kind(list.substr(at, comma - at), &k)) return false;
    out->push_back(k);
    at = comma + 1;
  }
  return !out->empty();
}

bool parse_options(int argc, char** argv, options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    bool takes = true;
    if (a == "--host" && v) o->host = v;
    else if (a == "--port" && v) o->port = std::atoi(v);
    else if (a == "-S" && v) o->senders = std::atoi(v);
    else if (a == "-R" && v) o->receivers = std::atoi(v);
    else if (a == "--kind" && v) { if (!parse_kinds(v, &o->receiver_kinds)) return false; }
    else if (a == "--sender-kind" && v) { if (!parse_kinds(v, &o->sender_kinds)) return false; }
    else if (a == "--size" && v) o->size = uint32_t(std::atol(v));
    else if (a == "--batch" && v) o->batch = uint32_t(std::atol(v));
    else if (a == "--rate" && v) o->rate = std::atof(v);
    else if (a == "--seconds" && v) o->seconds = std::atof(v);
    else if (a == "--warmup" && v) o->warmup = std::atof(v);
    else if (a == "--label" && v) o->label = v;
    else if (a == "--relay-pid" && v) o->relay_pid = std::atoi(v);
    else {
      takes = false;
      if (a == "--direct") o->direct = true;
      else if (a == "--direct-only") { o->direct = true; o->relay = false; }
      else return false;
    }
    if (takes) ++i;
  }
  if (o->sender_kinds.empty()) o->sender_kinds = {o->receiver_kinds[0]};
  return o->senders >= 1 && o->receivers >= 1 && o->size >= header_size && o->size <= max_record;
}

// Several raw or TLS senders cannot be told apart: the relay forwards their
// reads, which cut records anywhere, interleaved at the receivers.
bool senders_separable(const options& o) {
  if (o.senders == 1) return true;
  for (kind k : o.sender_kinds)
    if (!is_ws(k)) return false;
  return true;
}

bool all_ws(const std::vector<kind>& ks) {
  for (kind k : ks)
    if (!is_ws(k)) return false;
  return true;
}

// The streams of one run: every receiver and every sending stream, with
// which sending stream each receiver's records of each sender come from.
struct run_set {
  std::vector<std::unique_ptr<receiver>> receivers;
  std::vector<std::unique_ptr<sender>> senders;
  std::vector<std::vector<sender*>> source;   // [receiver][sender index]
  std::atomic<bool> stop{false};
  std::atomic<bool> done{false};
  window win;
};

receiver* add_receiver(run_set* set, const options& o, bool frames_are_messages) {
  auto r = std::make_unique<receiver>();
  r->expected.assign(size_t(o.senders), 0);
  r->received.assign(size_t(o.senders), 0);
  r->win = &set->win;
  r->frames_are_messages = frames_are_messages;
  set->receivers.push_back(std::move(r));
  set->source.emplace_back(size_t(o.senders), nullptr);
  return set->receivers.back().get();
}

sender* add_sender(run_set* set, const options& o, int index) {
  auto s = std::make_unique<sender>();
  s->index = uint16_t(index);
  s->size = o.size;
  s->batch = o.batch;
  s->rate = o.rate;
  s->stop = &set->stop;
  s->done = &set->done;
  set->senders.push_back(std::move(s));
  return set->senders.back().get();
}

kind receiver_kind(const options& o, int i) {
  return o.receiver_kinds[size_t(i) % o.receiver_kinds.size()];
}

bool connect_via_relay(run_set* set, const options& o, std::string* error) {
  bool messages = all_ws(o.sender_kinds);
  for (int i = 0; i < o.receivers; ++i) {
    receiver* r = add_receiver(set, o, messages);
    if (!connect_relay(&r->c, o.host.c_str(), o.port, receiver_kind(o, i), error)) return false;
  }
  for (int s = 0; s < o.senders; ++s) {
    sender* snd = add_sender(set, o, s);
    kind k = o.sender_kinds[size_t(s) % o.sender_kinds.size()];
    if (!connect_relay(&snd->c, o.host.c_str(), o.port, k, error)) return false;
    for (auto& src : set->source) src[size_t(s)] = snd;
  }
  return true;
}

// The floor: one connection from each sender to each receiver, of the
// receiver's kind, each fed by a thread of its own as the relay's writers
// feed theirs.
bool connect_direct(run_set* set, const options& o, std::string* error) {
  for (int i = 0; i < o.receivers; ++i) add_receiver(set, o, true);
  // A receiver with several senders has a connection per sender; each is
  // read by a receiver record of its own that expects only that sender.
  for (int s = 0; s < o.senders; ++s) {
    for (int i = 0; i < o.receivers; ++i) {
      size_t at = size_t(i);
      if (s > 0) {
        add_receiver(set, o, true);
        at = set->receivers.size() - 1;
      }
      sender* snd = add_sender(set, o, s);
      if (!direct_pair(receiver_kind(o, i), &snd->c, &set->receivers[at]->c, error)) return false;
      set->source[at][size_t(s)] = snd;
    }
  }
  return true;
}

// User and system time of a process, in seconds; -1 when unknown.
double cpu_seconds(int pid) {
  if (pid <= 0) return -1;
  std::string path = "/proc/" + std::to_string(pid) + "/stat";
  FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return -1;
  char text[1024];
  size_t n = std::fread(text, 1, sizeof text - 1, f);
  std::fclose(f);
  text[n] = 0;
  const char* p = std::strrchr(text, ')');   // the name may hold spaces
  unsigned long long utime = 0, stime = 0;
  if (p == nullptr || std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu",
                                  &utime, &stime) != 2)
    return -1;
  return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

double since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

uint64_t total_sent(const run_set& set) {
  uint64_t n = 0;
  for (auto& s : set.senders) n += s->sent.load(std::memory_order_relaxed);
  return n;
}

uint64_t total_records(const run_set& set) {
  uint64_t n = 0;
  for (auto& r : set.receivers) n += r->records.load(std::memory_order_relaxed);
  return n;
}

uint64_t expected_records(const run_set& set) {
  uint64_t n = 0;
  for (auto& src : set.source)
    for (sender* s : src)
      if (s != nullptr) n += s->sent.load();
  return n;
}

bool all_stopped(const run_set& set) {
  for (auto& s : set.senders)
    if (!s->stopped.load()) return false;
  return true;
}

// Waits until every record sent has arrived, or nothing has moved for 1 s.
void wait_for_stragglers(const run_set& set) {
  uint64_t want = expected_records(set);
  uint64_t last = total_records(set);
  auto moved = std::chrono::steady_clock::now();
  while (total_records(set) < want && since(moved) < 1.0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    uint64_t now = total_records(set);
    if (now != last) moved = std::chrono::steady_clock::now();
    last = now;
  }
}

void tally(const run_set& set, result* res) {
  histogram all;
  for (size_t i = 0; i < set.receivers.size(); ++i) {
    const receiver& r = *set.receivers[i];
    all.merge(r.latency);
    res->corrupt += r.corrupt;
    res->reordered += r.reordered;
    for (size_t s = 0; s < r.received.size(); ++s) {
      sender* src = set.source[i][s];
      if (src == nullptr) continue;
      uint64_t sent = src->sent.load();
      if (sent > r.received[s]) res->lost += sent - r.received[s];
    }
  }
  res->p50 = double(all.quantile(0.5)) / 1000;
  res->p99 = double(all.quantile(0.99)) / 1000;
  res->p999 = double(all.quantile(0.999)) / 1000;
  res->max = double(all.max()) / 1000;
  for (auto& s : set.senders) res->failed |= s->failed;
}

// Runs the load over a connected set: settle, warm up, measure, drain.
result measure(run_set* set, const options& o, double settle_s, double streams_per_sender) {
  std::vector<std::thread> threads;
  for (auto& r : set->receivers) threads.emplace_back(receive_loop, r.get());
  // Hello bytes of later clients must reach every receiver before records.
  std::this_thread::sleep_for(std::chrono::duration<double>(settle_s));
  for (auto& s : set->senders) set_nonblocking(&s->c);
  std::vector<std::thread> writers;
  for (auto& s : set->senders) writers.emplace_back(send_loop, s.get());
  std::this_thread::sleep_for(std::chrono::duration<double>(o.warmup));

  set->win.start_ns.store(now_ns());
  auto t0 = std::chrono::steady_clock::now();
  uint64_t sent0 = total_sent(*set), got0 = total_records(*set);
  double cpu0 = cpu_seconds(o.relay_pid);
  std::this_thread::sleep_for(std::chrono::duration<double>(o.seconds));
  uint64_t sent1 = total_sent(*set), got1 = total_records(*set);
  double elapsed = since(t0);
  double cpu1 = cpu_seconds(o.relay_pid);
  set->win.end_ns.store(now_ns());

  set->stop.store(true);
  // A sender held up for good (a stuck relay) is given up after 2 s.
  auto stopping = std::chrono::steady_clock::now();
  while (!all_stopped(*set) && since(stopping) < 2.0)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  wait_for_stragglers(*set);
  set->done.store(true);
  abort_writes(true);
  for (auto& t : writers) t.join();
  for (auto& r : set->receivers) shutdown_conn(&r->c);
  for (auto& s : set->senders) shutdown_conn(&s->c);
  for (auto& t : threads) t.join();
  abort_writes(false);

  result res;
  double mb = double(o.size) / 1e6;
  res.offered_msgs = double(sent1 - sent0) / streams_per_sender / elapsed;
  res.offered_mb = res.offered_msgs * mb;
  res.delivered_msgs = double(got1 - got0) / elapsed;
  res.delivered_mb = res.delivered_msgs * mb;
  if (cpu0 >= 0 && cpu1 >= 0) res.relay_cpus = (cpu1 - cpu0) / elapsed;
  tally(*set, &res);
  for (auto& r : set->receivers) close_conn(&r->c);
  for (auto& s : set->senders) close_conn(&s->c);
  return res;
}

std::string kinds_text(const std::vector<kind>& ks) {
  std::string t;
  for (kind k : ks) t += std::string(t.empty() ? "" : ",") + kind_name(k);
  return t;
}

void print_result(const char* mode, const options& o, const result& r) {
  char cpu[32] = "";
  if (r.relay_cpus >= 0) std::snprintf(cpu, sizeof cpu, " | cpu %.2f", r.relay_cpus);
  std::printf("%-6s %-14s %2dx%-2d %6u %8.0f | %10.0f %9.1f | %11.0f %9.1f | %8.1f %8.1f %8.1f %8.1f | %llu %llu %llu%s%s%s%s\n",
              mode, kinds_text(o.receiver_kinds).c_str(), o.senders, o.receivers, o.size, o.rate,
              r.offered_msgs, r.offered_mb, r.delivered_msgs, r.delivered_mb, r.p50, r.p99,
              r.p999, r.max, static_cast<unsigned long long>(r.corrupt),
              static_cast<unsigned long long>(r.lost), static_cast<unsigned long long>(r.reordered), cpu,
              r.failed ? "  SEND FAILED" : "", o.label.empty() ? "" : "  ", o.label.c_str());
  std::fflush(stdout);
}

bool run_mode(const options& o, bool direct) {
  run_set set;
  std::string error;
  bool ok = direct ? connect_direct(&set, o, &error) : connect_via_relay(&set, o, &error);
  if (!ok) {
    std::fprintf(stderr, "%s set-up failed: %s\n", direct ? "direct" : "relay", error.c_str());
    for (auto& r : set.receivers) close_conn(&r->c);
    for (auto& s : set.senders) close_conn(&s->c);
    return false;
  }
  options run = o;
  if (direct) run.relay_pid = 0;
  result r = measure(&set, run, direct ? 0.05 : 0.3, direct ? double(o.receivers) : 1.0);
  print_result(direct ? "direct" : "relay", o, r);
  return !r.failed && r.corrupt == 0 && r.lost == 0 && r.reordered == 0;
}

}  // namespace
}  // namespace load

int main(int argc, char** argv) {
  using namespace load;
  options o;
  if (!parse_options(argc, argv, &o)) {
    usage();
    return 2;
  }
  if (!senders_separable(o)) {
    std::fprintf(stderr, "several raw or tls senders: their records interleave at the "
                         "relay's read boundaries; use --sender-kind ws or wss\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  pattern();
  bool ok = true;
  if (o.relay) ok &= run_mode(o, false);
  if (o.direct) ok &= run_mode(o, true);
  return ok ? 0 : 1;
}
