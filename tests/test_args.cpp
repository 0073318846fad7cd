// The wide argument vector that main hands to wmain.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/args.h"

TEST(Args, Utf8BecomesWideAndBadBytesBecomeReplacements) {
  char a0[] = "wsrelay";
  char a1[] = "-p";
  char a2[] = "\xD0\x96\xE2\x82\xAC\xF0\x9F\x98\x80";  // Ж € 😀
  char a3[] = "a\xFF" "b\xC0\xAF" "c\xE2\x82";      // stray, overlong, cut short
  char a4[] = "";
  char* argv[] = {a0, a1, a2, a3, a4, nullptr};
  wchar_t** w = win::args_to_wide(5, argv);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(std::wstring(w[0]), L"wsrelay");
  EXPECT_EQ(std::wstring(w[1]), L"-p");
  EXPECT_EQ(std::wstring(w[2]), L"\u0416\u20AC\U0001F600");
  EXPECT_EQ(std::wstring(w[3]), L"a\uFFFDb\uFFFD\uFFFDc\uFFFD\uFFFD");
  EXPECT_EQ(std::wstring(w[4]), L"");
  EXPECT_EQ(w[5], nullptr);
  std::free(w);
}
