// The error report's two lines, on standard output and standard error.
#include <gtest/gtest.h>

#include <string>

#include "common/report.h"
#include "support/fd_capture.h"

namespace {

TEST(Report, CallTextThenNumberAndSystemText) {
  struct row { DWORD code; const wchar_t* call; std::string expected; };
  const row rows[] = {
      {10048, L"bind(so, &addr_local, sizeof(addr_local))",
       "bind(so, &addr_local, sizeof(addr_local))\n   ^ERROR: 10048, Only one usage of each socket "
       "address (protocol/network address/port) is normally permitted.\r\n"},
      // A null call text prints only the second line; an empty one an empty line first.
      {10054, nullptr, "   ^ERROR: 10054, An existing connection was forcibly closed by the remote host.\r\n"},
      {10054, L"", "\n   ^ERROR: 10054, An existing connection was forcibly closed by the remote host.\r\n"},
      // CryptoAPI numbers are unsigned, never negative.
      {0x80090008, L"CryptCreateHash(h_prov, CALG_SHA1, 0, 0, &ctx[i])",
       "CryptCreateHash(h_prov, CALG_SHA1, 0, 0, &ctx[i])\n   ^ERROR: 2148073480, Invalid algorithm "
       "specified.\r\n"},
      // Non-ASCII call text goes out as UTF-8.
      {5, L"открий()", "\xD0\xBE\xD1\x82\xD0\xBA\xD1\x80\xD0\xB8\xD0\xB9()\n   ^ERROR: 5, Access is denied.\r\n"},
  };
  for (const row& r : rows) {
    fd_capture out(1);
    EXPECT_EQ(report_error(r.code, r.call), r.code);
    EXPECT_EQ(out.text(), r.expected);
  }
}

TEST(Report, UnknownNumberLeavesTheLineOpen) {
  fd_capture out(1);
  EXPECT_EQ(report_error(4000000000u, L"x()"), 4000000000u);
  report_error(12345, nullptr);
  EXPECT_EQ(out.text(), "x()\n   ^ERROR: 4000000000, (null)   ^ERROR: 12345, (null)");
}

TEST(Report, StderrFormGoesToStandardErrorOnly) {
  fd_capture out(1);
  fd_capture err(2);
  EXPECT_EQ(report_error_stderr(ERROR_NOT_ENOUGH_MEMORY, L"!! _aligned_malloc() failed to allocate RAM!"),
            ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(err.text(),
            "!! _aligned_malloc() failed to allocate RAM!\n   ^ERROR: 8, Not enough memory resources "
            "are available to process this command.\r\n");
  EXPECT_EQ(out.text(), "");
}

}  // namespace
