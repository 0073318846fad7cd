// Error texts: every number the layer can produce has one, in the system's
// form; other numbers have none.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/format_message.h"
#include "platform/sync.h"

namespace {

constexpr DWORD allocate_flags = win::FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                 win::FORMAT_MESSAGE_IGNORE_INSERTS |
                                 win::FORMAT_MESSAGE_FROM_SYSTEM;

// The text of `code`, and whether there was one.
bool text_of(DWORD code, std::wstring* text) {
  wchar_t* p = reinterpret_cast<wchar_t*>(uintptr_t(1));  // must be replaced
  DWORD n = win::FormatMessageW(allocate_flags, nullptr, code, 0, reinterpret_cast<wchar_t*>(&p), 0,
                                nullptr);
  if (n == 0) {
    EXPECT_EQ(p, nullptr) << code;
    return false;
  }
  *text = p;
  EXPECT_EQ(text->size(), size_t(n));
  win::LocalFree(p);
  return true;
}

struct named_number { std::string name; DWORD value; };

// Every error number that the shared types header defines, read from the
// header itself so that numbers added later are covered too.
std::vector<named_number> numbers_in_types_header() {
  std::ifstream in(std::string(TESTS_DIR) + "/../platform/types.h");
  std::stringstream all;
  all << in.rdbuf();
  std::string s = all.str();
  std::regex line(R"(constexpr\s+(?:DWORD|int)\s+((?:ERROR|WSA|NTE)_?\w+)\s*=\s*(0x[0-9A-Fa-f]+|\d+))");
  std::vector<named_number> out;
  for (std::sregex_iterator it(s.begin(), s.end(), line), end; it != end; ++it)
    out.push_back({(*it)[1], DWORD(std::stoul((*it)[2], nullptr, 0))});
  return out;
}

TEST(FormatMessage, EveryNumberOfTheLayerHasALineOfText) {
  std::vector<named_number> numbers = numbers_in_types_header();
  ASSERT_GE(numbers.size(), 40u) << "the header could not be read";
  for (const named_number& n : numbers) {
    std::wstring text;
    ASSERT_TRUE(text_of(n.value, &text)) << n.name << " has no text";
    ASSERT_GE(text.size(), 4u) << n.name;
    EXPECT_EQ(text.substr(text.size() - 2), L"\r\n") << n.name;
    EXPECT_EQ(text.find(L"\r\n"), text.size() - 2) << n.name << ": one line only";
  }
}

TEST(FormatMessage, TextsInTheSystemsWording) {
  std::wstring text;
  ASSERT_TRUE(text_of(10054, &text));
  EXPECT_EQ(text, L"An existing connection was forcibly closed by the remote host.\r\n");
  ASSERT_TRUE(text_of(10048, &text));
  EXPECT_EQ(text,
            L"Only one usage of each socket address (protocol/network address/port) is normally "
            L"permitted.\r\n");
  ASSERT_TRUE(text_of(ERROR_NOT_ENOUGH_MEMORY, &text));
  EXPECT_EQ(text, L"Not enough memory resources are available to process this command.\r\n");
  ASSERT_TRUE(text_of(NTE_BAD_ALGID, &text));
  EXPECT_EQ(text, L"Invalid algorithm specified.\r\n");
}

TEST(FormatMessage, UnknownNumbersHaveNoText) {
  std::wstring text;
  for (DWORD code : {DWORD(1), DWORD(12345), DWORD(10000), DWORD(0x80090000), DWORD(0xDEADBEEF),
                     DWORD(0xFFFFFFFF)}) {
    EXPECT_FALSE(text_of(code, &text)) << code;
    EXPECT_EQ(win::GetLastError(), ERROR_MR_MID_NOT_FOUND);
  }
  EXPECT_EQ(win::LocalFree(nullptr), nullptr);
}

TEST(FormatMessage, CallersBufferMustHoldTheText) {
  wchar_t small[8];
  DWORD flags = win::FORMAT_MESSAGE_FROM_SYSTEM | win::FORMAT_MESSAGE_IGNORE_INSERTS;
  EXPECT_EQ(win::FormatMessageW(flags, nullptr, 5, 0, small, 8, nullptr), 0u);
  EXPECT_EQ(win::GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  wchar_t enough[64];
  EXPECT_EQ(win::FormatMessageW(flags, nullptr, 5, 0, enough, 64, nullptr), 19u);
  EXPECT_EQ(std::wstring(enough), L"Access is denied.\r\n");
}

}  // namespace
