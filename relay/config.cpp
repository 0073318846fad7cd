// QOR_SOCKET::config: defaults, the command line, the TLS set-up, the
// connection count and the configuration block.
#include "relay/socket.h"

#include <cstring>

#include "platform/console.h"
#include "stream/context.h"

namespace {

// Decimal text to a signed 32-bit number the way the C run time's _wtoi
// reads it: blanks, a sign, digits up to the first other character; no
// digits give 0, and a value past the 32-bit range stops at its end.
int32_t wtoi(const wchar_t* s) {
  while (*s == L' ' || (*s >= L'\t' && *s <= L'\r')) ++s;
  bool negative = false;
  if (*s == L'+' || *s == L'-') negative = (*s++ == L'-');
  int64_t v = 0;
  for (; *s >= L'0' && *s <= L'9'; ++s) {
    v = v * 10 + (*s - L'0');
    if (v > int64_t(INT32_MAX) + 1) v = int64_t(INT32_MAX) + 1;  // saturated, keeps going
  }
  if (negative) return v > INT32_MAX ? INT32_MIN : int32_t(-v);
  return v > INT32_MAX ? INT32_MAX : int32_t(v);
}

// Compares with the ASCII letters taken without case, as _wcsicmp does in
// the default locale.
bool equal_ascii_nocase(const wchar_t* a, const wchar_t* b) {
  auto lower = [](wchar_t c) { return (c >= L'A' && c <= L'Z') ? wchar_t(c - L'A' + L'a') : c; };
  for (; *a && *b; ++a, ++b)
    if (lower(*a) != lower(*b)) return false;
  return *a == *b;
}

}  // namespace

int QOR_SOCKET::config(int argc, wchar_t** argv) {
  not_quiet = 1;
  listen = 1;
  print_once = 0;
  print = 1;
  verbose = 1;
  write = 1;
  memset(addr_local_text, 0, sizeof addr_local_text);
  local_port = 81;
  connections = MAX_CONNECTIONS;
  packet_length_r = 4096;
  so_type = 1;       // SOCK_STREAM
  so_protocol = 6;   // IPPROTO_TCP

  bool help = false;
  for (int i = 1; i < argc; ++i) {
    const wchar_t* a = argv[i];
    if (a[0] != L'-') continue;
    if (a[1] == L'-' && equal_ascii_nocase(a + 2, L"help")) {
      help = true;
      continue;
    }
    // Letters one by one; a letter that takes a value ends the argument.
    for (const wchar_t* c = a + 1; *c != 0; ++c) {
      if (*c == L'h') help = true;
      if (*c != L'p' && *c != L'c' && *c != L'L') continue;
      const wchar_t* value = c[1] != 0 ? c + 1 : (++i < argc ? argv[i] : nullptr);
      if (value != nullptr) {
        int32_t n = wtoi(value);
        if (*c == L'p') local_port = uint16_t(n);
        if (*c == L'c') connections = uint16_t(n);
        if (*c == L'L') packet_length_r = uint64_t(int64_t(n));
      }
      break;
    }
  }

  ctx_setup();

  if (connections == 0) {
    connections = MAX_CONNECTIONS;
  } else if (connections > MAX_CONNECTIONS) {
    connections = MAX_CONNECTIONS;
    win::wprintf(L"!! QOR_SOCKET::config()  number of connections reduced to: %u\n\n", unsigned(MAX_CONNECTIONS));
  }
  if (print_once) print = 1;

  if (verbose) {
    win::wprintf(L":: config ::\n");
    win::wprintf(L"  print:%u, print_once:%u, listen:%u, write:%u, connections:%u\n", unsigned(print),
                 unsigned(print_once), unsigned(listen), unsigned(write), unsigned(connections));
    win::wprintf(L"  verbose:%u, quiet:%u, packet_length_r:%llu\n", unsigned(verbose),
                 unsigned(not_quiet == 0), (unsigned long long)packet_length_r);
    win::wprintf(L"  so_type:%u, so_protocol:%u\n", unsigned(so_type), unsigned(so_protocol));
    win::wprintf(L"  addr_local  %hs:%u\n", addr_local_text, unsigned(local_port));
    win::wprintf(L"  addr_remote %hs:%u\n\n", "", 0u);
    win::wprintf(L":: ------ ::\n");
  }
  return (help || local_port == 0) ? -1 : 0;
}
