#include "platform/args.h"

#include <cstdlib>
#include <cstring>

#include "platform/utf8.h"

namespace win {

namespace {

// Characters of the wide form of a UTF-8 text.
size_t wide_length(const char* s) {
  auto* p = reinterpret_cast<const unsigned char*>(s);
  size_t n = std::strlen(s), chars = 0;
  char32_t c;
  for (size_t i = 0; i < n; i += utf8::decode(p + i, n - i, &c)) ++chars;
  return chars;
}

wchar_t* widen(const char* s, wchar_t* out) {
  auto* p = reinterpret_cast<const unsigned char*>(s);
  size_t n = std::strlen(s);
  char32_t c;
  for (size_t i = 0; i < n;) {
    i += utf8::decode(p + i, n - i, &c);
    *out++ = wchar_t(c);
  }
  *out++ = 0;
  return out;
}

}  // namespace

wchar_t** args_to_wide(int argc, char** argv) {
  if (argc < 0) argc = 0;
  size_t chars = 0;
  for (int i = 0; i < argc; ++i) chars += wide_length(argv[i]) + 1;
  size_t bytes = sizeof(wchar_t*) * (size_t(argc) + 1) + sizeof(wchar_t) * chars;
  void* block = std::malloc(bytes);
  if (block == nullptr) return nullptr;
  auto** wide = static_cast<wchar_t**>(block);
  wchar_t* text = reinterpret_cast<wchar_t*>(wide + argc + 1);
  for (int i = 0; i < argc; ++i) {
    wide[i] = text;
    text = widen(argv[i], text);
  }
  wide[argc] = nullptr;
  return wide;
}

}  // namespace win
