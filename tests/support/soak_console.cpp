#include "support/soak_console.h"

#include <regex>

namespace {

// One alternative for each kind of item; the numbers are the groups.
const char* const ITEM =
    "(\r:: SYN from 127\\.0\\.0\\.1:(\\d+)  :: server_(\\d\\d)\\.working  active \\d\\d/\\d\\d  )"
    "|((RAW|TLS|WS|WSS)\n)"
    "|(:: server_(\\d\\d)\\.fin  active \\d\\d/\\d\\d\n)"
    "|(\n\tInvalid or unsupported WebSocket handshake from the client!\n)"
    "|(\\[(\\d+)\\] tls\\.send\\(c_header_server, c_header_server_size\\)\n)"
    "|(\n!! recv\\((\\d+)\\)  TLS error (-?\\d+)\n)"
    "|(!! send_packet\\(\\) !! work_w\\(\\) !! send\\(so, p_send, size_send, SO_SEND_FLAGS\\)\n"
    "   \\^ERROR: (\\d+), [^\r\n]*\r?\n)"
    "|(\n)";
enum group { SYN = 1, SYN_PORT, SYN_SLOT, KIND, FIN = 6, FIN_SLOT, REFUSED, REPLY_FAILED,
             REPLY_ERROR, TLS_ERROR, TLS_SLOT, SEND_FAILED = 14, SEND_ERROR };

// A send to a client whose TLS session is broken fails without a socket
// error: the report then carries the writer thread's last error, none or
// that of a call on an earlier, released connection (a send on a closed
// socket, or the shutdown of a reset one).
bool stale_error(int code) { return code == 0 || code == 10038 || code == 10057; }

// Reports are printed by other threads than the connection's own, so they
// may follow its end line by a few items.
constexpr size_t LATE_ITEMS = 64;

}  // namespace

void soak_console::fail(const std::string& what) {
  if (unexpected.size() < 10) unexpected.push_back(what);
}

void soak_console::scan(const std::string& out, const std::set<uint16_t>& tls_garbage_ports) {
  const std::string banner_end = ":: waiting for client connection...\n\n";
  size_t from = out.find(banner_end);
  from = from == std::string::npos ? 0 : from + banner_end.size();

  bool garbage[100] = {};   // by slot: its connection sent TLS garbage
  size_t open_garbage = 0;
  size_t item = 0, garbage_end = 0;
  std::regex pattern(ITEM);
  size_t tail = from;
  for (std::sregex_iterator it(out.begin() + long(from), out.end(), pattern), end; it != end; ++it) {
    const std::smatch& m = *it;
    ++item;
    tail = from + size_t(m.position(0) + m.length(0));
    if (m.prefix().length() > 0) fail("unexpected output: " + m.prefix().str().substr(0, 300));
    if (m[SYN].matched) {
      ++connections;
      int slot = std::stoi(m[SYN_SLOT]);
      bool tls_garbage = tls_garbage_ports.count(uint16_t(std::stoi(m[SYN_PORT]))) != 0;
      open_garbage += size_t(tls_garbage) - size_t(garbage[slot]);
      garbage[slot] = tls_garbage;
    } else if (m[FIN].matched) {
      ++ends;
      int slot = std::stoi(m[FIN_SLOT]);
      if (garbage[slot]) garbage_end = item;
      open_garbage -= size_t(garbage[slot]);
      garbage[slot] = false;
    } else if (m[TLS_ERROR].matched) {
      ++tls_reports;
      if (!garbage[std::stoi(m[TLS_SLOT])]) fail("TLS error of a healthy TLS session: " + m.str());
    } else if (m[SEND_FAILED].matched) {
      ++send_reports;
      bool garbage_near = open_garbage > 0 || (garbage_end != 0 && item - garbage_end <= LATE_ITEMS);
      if (!stale_error(std::stoi(m[SEND_ERROR])) || !garbage_near) fail("send failure: " + m.str());
    } else if (m[REPLY_FAILED].matched) {
      int code = std::stoi(m[REPLY_ERROR]);
      // The client was gone before the reply to its request went out.
      if (code != 10053 && code != 10054) fail("handshake reply failed: " + m.str());
    }
  }
  if (tail < out.size()) fail("unexpected output: " + out.substr(tail, 300));
}

const char* name(console_kind k) {
  static const char* const names[] = {"no connection line", "no kind yet", "no kind",
                                      "RAW", "TLS", "WS", "WSS"};
  return names[int(k)];
}

console_kind console_kind_of(std::string_view out, uint16_t port) {
  // The two spaces after the port keep port 5351 from matching 53510.
  const std::string syn = "\r:: SYN from 127.0.0.1:" + std::to_string(port) + "  :: server_";
  size_t at = out.rfind(syn);
  if (at == std::string_view::npos) return console_kind::no_line;
  static const std::regex rest("\\d\\d\\.working  active \\d\\d/\\d\\d  ");
  std::cmatch m;
  const char* from = out.data() + at + syn.size();
  const char* end = out.data() + out.size();
  if (!std::regex_search(from, end, m, rest, std::regex_constants::match_continuous))
    return console_kind::pending;   // the line is not whole yet
  std::string_view after(from + m.length(0), size_t(end - from - m.length(0)));
  static const std::pair<std::string_view, console_kind> kinds[] = {
      {"RAW\n", console_kind::raw}, {"TLS\n", console_kind::tls},
      {"WS\n", console_kind::ws}, {"WSS\n", console_kind::wss}};
  for (const auto& [text, k] : kinds)
    if (after.substr(0, text.size()) == text) return k;
  for (const auto& [text, k] : kinds)
    if (text.substr(0, after.size()) == after) return console_kind::pending;   // part of it
  return console_kind::none;
}
