// The command line: argv built from the input (its runs between NUL
// bytes, as UTF-8, after the program name), turned wide as main does it,
// parsed by QOR_SOCKET::config and, when config refuses, followed by the
// usage text as wmain does. The fields config settles are compared with a
// model of the options written here.
//
// The TLS set-up inside config reads no option and costs about a
// millisecond (a fresh server context each time), which would hold the
// target to a few hundred runs a second. It runs for real once, while the
// relay object is built; later calls are redirected at link time
// (--wrap) to a stand-in that prints its first line only.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <openssl/crypto.h>

#include "fuzz/fuzz_input.h"
#include "platform/args.h"
#include "platform/console.h"
#include "relay/socket.h"
#include "stream/context.h"

// ctx_setup(), as the linker names it.
extern "C" void __real__Z9ctx_setupv();
extern "C" void __wrap__Z9ctx_setupv() {
  static bool done = false;
  if (!done) {
    done = true;
    __real__Z9ctx_setupv();
    return;
  }
  win::wprintf(L"%hs\n", OpenSSL_version(OPENSSL_VERSION));
}

namespace {

struct options {
  uint16_t port = 81;
  uint16_t connections = 32;
  uint64_t packet_length = 4096;
  bool help = false;
};

// Decimal text as the C run time's _wtoi reads it, saturating at the ends
// of the signed 32-bit range.
int32_t decimal(const wchar_t* s) {
  while (*s == L' ' || (*s >= L'\t' && *s <= L'\r')) ++s;
  bool negative = *s == L'-';
  if (*s == L'-' || *s == L'+') ++s;
  int64_t v = 0;
  for (; *s >= L'0' && *s <= L'9'; ++s) v = std::min<int64_t>(v * 10 + (*s - L'0'), int64_t(1) << 32);
  if (negative) v = -v;
  return int32_t(std::max<int64_t>(INT32_MIN, std::min<int64_t>(INT32_MAX, v)));
}

bool is_help(const wchar_t* a) {
  if (a[0] != L'-' || a[1] != L'-') return false;
  const wchar_t* word = L"help";
  for (a += 2; *a && *word; ++a, ++word)
    if ((*a >= L'A' && *a <= L'Z' ? *a + 32 : *a) != *word) return false;
  return *a == 0 && *word == 0;
}

options model(int argc, wchar_t** argv) {
  options o;
  for (int i = 1; i < argc; ++i) {
    const wchar_t* a = argv[i];
    if (a[0] != L'-') continue;
    if (is_help(a)) {
      o.help = true;
      continue;
    }
    for (const wchar_t* c = a + 1; *c; ++c) {
      if (*c == L'h') o.help = true;
      if (*c != L'p' && *c != L'c' && *c != L'L') continue;
      const wchar_t* value = c[1] ? c + 1 : ++i < argc ? argv[i] : nullptr;
      if (!value) break;
      int32_t n = decimal(value);
      if (*c == L'p') o.port = uint16_t(n);
      if (*c == L'c') o.connections = uint16_t(n);
      if (*c == L'L') o.packet_length = uint64_t(int64_t(n));
      break;
    }
  }
  if (o.connections == 0 || o.connections > 32) o.connections = 32;
  return o;
}

QOR_SOCKET* relay_object() {
  // Built once, asking for help, so that no buffer pool or thread is made.
  static QOR_SOCKET* relay = [] {
    static char name[] = "wsrelay";
    static char help[] = "-h";
    char* argv[] = {name, help};
    wchar_t** wide = win::args_to_wide(2, argv);
    auto* r = new QOR_SOCKET(2, wide);
    std::free(wide);
    return r;
  }();
  return relay;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The configuration block and usage text would drown the fuzzer's report.
  int null_fd = open("/dev/null", O_WRONLY);
  if (null_fd >= 0) dup2(null_fd, STDOUT_FILENO);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> words{"wsrelay"};
  words.emplace_back();
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) words.emplace_back();
    else words.back().push_back(char(data[i]));
  }
  if (size == 0) words.pop_back();
  std::vector<char*> argv;
  for (std::string& p : words) argv.push_back(p.data());
  int argc = int(argv.size());
  wchar_t** wide = win::args_to_wide(argc, argv.data());
  FUZZ_CHECK(wide != nullptr);

  QOR_SOCKET* relay = relay_object();
  int result = relay->config(argc, wide);
  options want = model(argc, wide);
  FUZZ_CHECK(relay->local_port == want.port);
  FUZZ_CHECK(relay->connections == want.connections);
  FUZZ_CHECK(relay->packet_length_r == want.packet_length);
  FUZZ_CHECK(result == ((want.help || want.port == 0) ? -1 : 0));
  if (result == -1) FUZZ_CHECK(usage(wide[0]) == 0);
  std::free(wide);
  return 0;
}
