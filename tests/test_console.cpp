// The console's printf dialect and how its output reaches a pipe.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/console.h"

namespace {

std::string fmt(const wchar_t* format, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, format);
  int n = win::format_utf8(buf, sizeof buf, format, ap);
  va_end(ap);
  EXPECT_EQ(size_t(n), std::string(buf).size());
  return buf;
}

TEST(ConsoleFormat, NumbersOfEverySizeAndWidth) {
  EXPECT_EQ(fmt(L"%Iu", uint64_t(18446744073709551615ULL)), "18446744073709551615");
  EXPECT_EQ(fmt(L"0x%016Ix", uint64_t(0x7f12ab)), "0x00000000007f12ab");
  EXPECT_EQ(fmt(L"[0x%08Ix]", uint64_t(0x1234)), "[0x00001234]");
  EXPECT_EQ(fmt(L"[0x%08Ix]", uint64_t(0x123456789ab)), "[0x123456789ab]");
  EXPECT_EQ(fmt(L"%8Iu KB", uint64_t(4)), "       4 KB");
  EXPECT_EQ(fmt(L"%9u MB", 2u), "        2 MB");
  EXPECT_EQ(fmt(L"%3d|%3d|%-4d|", 2, -5, 7), "  2| -5|7   |");
  EXPECT_EQ(fmt(L"%02u %02u", 5u, 123u), "05 123");
  EXPECT_EQ(fmt(L"%u", 2147483648u), "2147483648");
  EXPECT_EQ(fmt(L"%u", 0xFFFFFFFFu), "4294967295");
  EXPECT_EQ(fmt(L"%d", INT32_MIN), "-2147483648");
  EXPECT_EQ(fmt(L"%x %X", 0xDEADBEEFu, 0xDEADBEEFu), "deadbeef DEADBEEF");
  // "l" is 32 bits as on Windows; "ll", "I64" and "I" are 64.
  EXPECT_EQ(fmt(L"%lu %ld", 4000000000u, -7), "4000000000 -7");
  EXPECT_EQ(fmt(L"%lld %I64d %I64u", INT64_MIN, int64_t(-1), UINT64_MAX),
            "-9223372036854775808 -1 18446744073709551615");
  EXPECT_EQ(fmt(L"%I32u %I32d", 7u, -7), "7 -7");
  EXPECT_EQ(fmt(L"%hd %hu %hhu", 65535, 65536 + 5, 256 + 9), "-1 5 9");
  EXPECT_EQ(fmt(L"%05d|%5.3d|%.0d|", -42, 7, 0), "-0042|  007||");
  EXPECT_EQ(fmt(L"%+d % d %#x %#x", 5, 5, 255u, 0u), "+5  5 0xff 0");
  EXPECT_EQ(fmt(L"%*d|%-*d|", 5, 42, 4, 1), "   42|1   |");
  EXPECT_EQ(fmt(L"%p", reinterpret_cast<void*>(uintptr_t(0xDEADBEEF))), "00000000DEADBEEF");
  EXPECT_EQ(fmt(L"100%% %d%%", 5), "100% 5%");
}

TEST(ConsoleFormat, TextWideNarrowAndNull) {
  EXPECT_EQ(fmt(L"%8s|%8s|", L"[OK]", L"[FAILED]"), "    [OK]|[FAILED]|");
  EXPECT_EQ(fmt(L"%-6s|%.3s|%.*s|", L"ab", L"abcdef", 2, L"xyz"), "ab    |abc|xy|");
  EXPECT_EQ(fmt(L"%hs and %ls and %S", "narrow", L"wide", "upper S"),
            "narrow and wide and upper S");
  EXPECT_EQ(fmt(L"%s|%ls|%hs", static_cast<const wchar_t*>(nullptr),
                static_cast<const wchar_t*>(nullptr), static_cast<const char*>(nullptr)),
            "(null)|(null)|(null)");
  EXPECT_EQ(fmt(L"%c%hc%C", L'Ж', 'A', 'B'), "\xD0\x96" "AB");
  EXPECT_EQ(fmt(L"%s", L"Здравей €"),
            "\xD0\x97\xD0\xB4\xD1\x80\xD0\xB0\xD0\xB2\xD0\xB5\xD0\xB9 \xE2\x82\xAC");
  EXPECT_EQ(fmt(L"Поздрав %d", 1), "\xD0\x9F\xD0\xBE\xD0\xB7\xD0\xB4\xD1\x80\xD0\xB0\xD0\xB2 1");
  EXPECT_EQ(fmt(L"%s", L"\U0001F600"), "\xF0\x9F\x98\x80");
  // Widths count characters, not bytes, for wide and narrow text alike.
  EXPECT_EQ(fmt(L"%5s|%4hs|", L"жж", "\xD0\xB6"), "   \xD0\xB6\xD0\xB6|   \xD0\xB6|");
  // A lone surrogate or a value past U+10FFFF has no UTF-8 form.
  const wchar_t bad[] = {wchar_t(0xD800), wchar_t(0x110000), 0};
  EXPECT_EQ(fmt(L"%s", bad), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(ConsoleFormat, CutToFitButCountsWhole) {
  char buf[8];
  va_list none{};
  (void)none;
  auto cut = [&](const wchar_t* format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = win::format_utf8(buf, sizeof buf, format, ap);
    va_end(ap);
    return n;
  };
  EXPECT_EQ(cut(L"%s", L"0123456789"), 10);
  EXPECT_STREQ(buf, "0123456");
  EXPECT_EQ(cut(L"%d", 42), 2);
  EXPECT_STREQ(buf, "42");
}

// Standard output redirected to a pipe for the life of the object.
struct stdout_pipe {
  int saved = -1;
  int read_end = -1;
  stdout_pipe() {
    fflush(stdout);
    int p[2];
    EXPECT_EQ(pipe2(p, O_CLOEXEC), 0);
    read_end = p[0];
    saved = dup(1);
    dup2(p[1], 1);
    close(p[1]);
  }
  ~stdout_pipe() {
    dup2(saved, 1);
    close(saved);
    close(read_end);
  }
  // Reads until `max` bytes have come or `ms` have passed (0: only what
  // is in the pipe now).
  std::string read_some(size_t max, int ms) {
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    pollfd pfd{read_end, POLLIN, 0};
    while (out.size() < max) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (poll(&pfd, 1, left.count() > 0 ? int(left.count()) : 0) != 1) break;
      char buf[4096];
      ssize_t n = read(read_end, buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, size_t(n));
    }
    return out;
  }
};

TEST(ConsoleOutput, ReachesAPipeAtOnceAndInOrder) {
  stdout_pipe p;
  win::wprintf(L":: line %d\n", 1);
  // Nothing is flushed: a line must be in the pipe as soon as the call returns.
  EXPECT_EQ(p.read_some(100, 0), ":: line 1\n");
  win::wprintf(L"a");
  win::printf("%s%d", "b", 2);
  win::fwprintf(win::con_out, L"%s", L"c");
  EXPECT_EQ(p.read_some(100, 0), "ab2c");
}

TEST(ConsoleOutput, LongOutputArrivesWhole) {
  stdout_pipe p;
  std::wstring big(30000, L'x');
  big[0] = L'<';
  big.back() = L'>';
  int n = win::wprintf(L"%s|%d", big.c_str(), 7);
  EXPECT_EQ(n, 30002);
  std::string got = p.read_some(30002, 2000);
  ASSERT_EQ(got.size(), 30002u);
  EXPECT_EQ(got.front(), '<');
  EXPECT_EQ(got.substr(29999), ">|7");
}

TEST(ConsoleOutput, LinesOfTwoThreadsNeverMix) {
  stdout_pipe p;
  const int lines = 300;
  std::string got;
  std::thread reader([&] { got = p.read_some(size_t(lines) * 2 * 101, 2000); });
  auto writer = [](wchar_t c) {
    std::wstring line(100, c);
    for (int i = 0; i < lines; ++i) win::wprintf(L"%s\n", line.c_str());
  };
  std::thread a(writer, L'a'), b(writer, L'b');
  a.join();
  b.join();
  reader.join();
  ASSERT_EQ(got.size(), size_t(lines) * 2 * 101);
  for (size_t at = 0; at < got.size(); at += 101) {
    std::string line = got.substr(at, 101);
    EXPECT_TRUE(line == std::string(100, 'a') + "\n" || line == std::string(100, 'b') + "\n")
        << "mixed line at " << at;
  }
}

TEST(ConsoleInput, ReadsOneCharacterAtATime) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  int saved = dup(0);
  dup2(p[0], 0);
  close(p[0]);
  const char input[] = "\xD0\x96\nx";
  ASSERT_EQ(write(p[1], input, sizeof input - 1), ssize_t(sizeof input - 1));
  close(p[1]);
  EXPECT_EQ(win::fgetwc_stdin(), 0x416u);  // Ж, both of its bytes
  EXPECT_EQ(win::getchar(), '\n');
  EXPECT_EQ(win::getchar(), 'x');
  EXPECT_EQ(win::getchar(), -1);
  EXPECT_EQ(win::fgetwc_stdin(), 0xFFFFu);
  dup2(saved, 0);
  close(saved);
}

}  // namespace
