// The conversion of the certificate file names from UTF-16 to UTF-8.
#include <gtest/gtest.h>

#include <vector>

#include "stream/context.h"

namespace {

struct utf16_case {
  const char* name;
  std::u16string src;
  uint64_t dst_size;
  uint64_t result;
  std::vector<uint8_t> bytes;   // the buffer's start, NUL included
};

class Utf16ToUtf8 : public ::testing::TestWithParam<utf16_case> {};

TEST_P(Utf16ToUtf8, WritesTheTextAndItsNulOrFails) {
  const utf16_case& c = GetParam();
  // Bytes behind dst_size show any write past the end.
  std::vector<uint8_t> dst(c.dst_size + 8, 0xAA);
  EXPECT_EQ(utf16_to_utf8(dst.data(), c.dst_size, c.src.c_str()), c.result);
  EXPECT_EQ(std::vector<uint8_t>(dst.begin(), dst.begin() + c.bytes.size()), c.bytes);
  for (size_t i = c.dst_size; i < dst.size(); ++i) EXPECT_EQ(dst[i], 0xAA) << "byte " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf16ToUtf8,
    ::testing::Values(
        utf16_case{"two_fit", u"AB", 3, 2, {0x41, 0x42, 0x00}},
        utf16_case{"third_has_no_room_for_nul", u"ABC", 3, 0, {0x41, 0x42, 0x00}},
        utf16_case{"two_byte_char_ends_on_last_byte", u"\u00E9", 2, 0, {0xC3, 0x00}},
        utf16_case{"two_byte_char_fits", u"\u00E9", 3, 2, {0xC3, 0xA9, 0x00}},
        utf16_case{"three_byte_char", u"\u20AC", 4, 3, {0xE2, 0x82, 0xAC, 0x00}},
        utf16_case{"surrogate_pair", u"\xD83D\xDE00", 5, 4, {0xF0, 0x9F, 0x98, 0x80, 0x00}},
        utf16_case{"lone_high_before_letter", u"\xD801\x0042", 6, 5,
                   {0xF0, 0x90, 0x90, 0x80, 0x42, 0x00}},
        utf16_case{"lone_low_is_skipped", u"\xDC00\x0043", 2, 1, {0x43, 0x00}},
        utf16_case{"high_at_the_end", u"A\xD800", 4, 1, {0x41, 0x00}},
        utf16_case{"empty", u"", 4, 0, {0x00}},
        utf16_case{"four_bytes_do_not_fit", u"A\xD83D\xDE00", 4, 0, {0x41, 0x00}},
        utf16_case{"file_name", u"wsrelay-cert.pem", 65536, 16,
                   {'w', 's', 'r', 'e', 'l', 'a', 'y', '-', 'c', 'e', 'r', 't', '.', 'p', 'e',
                    'm', 0}}),
    [](const ::testing::TestParamInfo<utf16_case>& info) { return std::string(info.param.name); });

TEST(Utf16ToUtf8Null, NullBufferOrSourceGivesZeroAndWritesNothing) {
  uint8_t dst[4] = {0xAA, 0xAA, 0xAA, 0xAA};
  EXPECT_EQ(utf16_to_utf8(nullptr, 4, u"A"), 0u);
  EXPECT_EQ(utf16_to_utf8(dst, 4, nullptr), 0u);
  EXPECT_EQ(dst[0], 0xAA);
}

TEST(Utf16ToUtf8Null, FailureLeavesANulInsideTheBuffer) {
  // A character that ends on the last byte: that byte becomes the NUL.
  uint8_t dst[3] = {0xAA, 0xAA, 0xAA};
  EXPECT_EQ(utf16_to_utf8(dst, 3, u"A\u00E9"), 0u);
  EXPECT_EQ(dst[0], 0x41);
  EXPECT_EQ(dst[2], 0x00);
}

}  // namespace
