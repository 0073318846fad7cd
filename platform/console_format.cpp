// The Windows wide printf dialect, formatted by our own code so that it does
// not depend on the C library's locale or on its wchar_t conversions.
//
// Sizes follow Windows: "l" is 32 bits, "ll", "I64", "I", "z", "j" and "t"
// are 64 bits, "I32" 32, "h" 16 and "hh" 8. In a wide format %s and %c take
// wide text, %hs/%S/%hc/%C narrow; in a narrow format the reverse. Widths
// and precisions of text count characters, not bytes.
#include "platform/console_format.h"

#include <cerrno>
#include <cstdint>
#include <unistd.h>

#include "platform/utf8.h"

namespace win::detail {

void sink_init(out_sink* s, char* buf, size_t cap, int fd) {
  s->buf = buf;
  s->cap = cap;
  s->len = 0;
  s->fd = fd;
  s->total = 0;
  s->chars = 0;
  s->failed = false;
}

bool write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w == -1) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= size_t(w);
  }
  return true;
}

void sink_flush(out_sink* s) {
  if (s->fd >= 0 && s->len > 0) {
    if (!write_all(s->fd, s->buf, s->len)) s->failed = true;
    s->len = 0;
  }
}

namespace {

void put_bytes(out_sink* s, const char* p, size_t n) {
  s->total += n;
  while (n > 0) {
    if (s->len == s->cap) {
      if (s->fd < 0) return;  // caller's buffer is full: count only
      sink_flush(s);
    }
    size_t room = s->cap - s->len;
    size_t k = n < room ? n : room;
    for (size_t i = 0; i < k; ++i) s->buf[s->len + i] = p[i];
    s->len += k;
    p += k;
    n -= k;
  }
}

void put_char(out_sink* s, char32_t c) {
  char tmp[4];
  put_bytes(s, tmp, utf8::encode(c, tmp));
  s->chars += 1;
}

void put_repeat(out_sink* s, char c, long n) {
  for (long i = 0; i < n; ++i) put_char(s, char32_t(c));
}

struct conversion {
  bool left, zero, plus, space, alt;
  long width;
  long precision;  // -1: none
  int bits;        // integer size: 8, 16, 32, 64
  int text;        // 0: the format's own width, 1: narrow, 2: wide
};

// Characters of a narrow UTF-8 text, at most `limit` (< 0: no limit);
// sets *bytes to the bytes they take.
long narrow_chars(const char* p, long limit, size_t* bytes) {
  long chars = 0;
  size_t i = 0;
  while (p[i] != 0 && (limit < 0 || chars < limit)) {
    ++i;
    while ((static_cast<unsigned char>(p[i]) & 0xC0) == 0x80) ++i;
    ++chars;
  }
  *bytes = i;
  return chars;
}

long wide_chars(const wchar_t* p, long limit) {
  long n = 0;
  while (p[n] != 0 && (limit < 0 || n < limit)) ++n;
  return n;
}

void put_padded_text_start(out_sink* s, const conversion& f, long chars) {
  if (!f.left && f.width > chars) put_repeat(s, ' ', f.width - chars);
}

void put_padded_text_end(out_sink* s, const conversion& f, long chars) {
  if (f.left && f.width > chars) put_repeat(s, ' ', f.width - chars);
}

void put_narrow_text(out_sink* s, const conversion& f, const char* p) {
  if (p == nullptr) p = "(null)";
  size_t bytes;
  long chars = narrow_chars(p, f.precision, &bytes);
  put_padded_text_start(s, f, chars);
  // Narrow text is passed through as its bytes: it is already UTF-8.
  put_bytes(s, p, bytes);
  s->chars += size_t(chars);
  put_padded_text_end(s, f, chars);
}

void put_wide_text(out_sink* s, const conversion& f, const wchar_t* p) {
  if (p == nullptr) p = L"(null)";
  long chars = wide_chars(p, f.precision);
  put_padded_text_start(s, f, chars);
  for (long i = 0; i < chars; ++i) put_char(s, char32_t(p[i]));
  put_padded_text_end(s, f, chars);
}

void put_integer(out_sink* s, conversion f, uint64_t v, bool negative, unsigned base, bool upper) {
  char digits[24];
  int n = 0;
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  while (v != 0) {
    digits[n++] = set[v % base];
    v /= base;
  }
  // An explicit precision of 0 prints no digit for a 0 value.
  if (n == 0 && f.precision != 0) digits[n++] = '0';
  long zeros = f.precision > n ? f.precision - n : 0;
  char prefix[2];
  int np = 0;
  if (negative) prefix[np++] = '-';
  else if (f.plus) prefix[np++] = '+';
  else if (f.space) prefix[np++] = ' ';
  if (f.alt && base == 16 && n > 0 && !(n == 1 && digits[0] == '0')) {
    prefix[np++] = '0';
    prefix[np++] = upper ? 'X' : 'x';
  }
  long body = np + zeros + n;
  if (f.zero && !f.left && f.precision < 0 && f.width > body) {
    zeros += f.width - body;
    body = f.width;
  }
  if (!f.left && f.width > body) put_repeat(s, ' ', f.width - body);
  for (int i = 0; i < np; ++i) put_char(s, char32_t(prefix[i]));
  put_repeat(s, '0', zeros);
  while (n > 0) put_char(s, char32_t(digits[--n]));
  if (f.left && f.width > body) put_repeat(s, ' ', f.width - body);
}

int64_t signed_arg(va_list* ap, int bits) {
  if (bits == 64) return va_arg(*ap, long long);
  int v = va_arg(*ap, int);
  if (bits == 16) return int16_t(v);
  if (bits == 8) return int8_t(v);
  return v;
}

uint64_t unsigned_arg(va_list* ap, int bits) {
  if (bits == 64) return va_arg(*ap, unsigned long long);
  unsigned v = va_arg(*ap, unsigned);
  if (bits == 16) return uint16_t(v);
  if (bits == 8) return uint8_t(v);
  return v;
}

template <class C> long parse_number(const C*& p) {
  long n = 0;
  while (*p >= '0' && *p <= '9') {
    if (n < 100000) n = n * 10 + long(*p - '0');
    ++p;
  }
  return n;
}

// Reads the flags, width, precision and size of one conversion, p just past '%'.
template <class C> void parse_conversion(const C*& p, conversion& f, va_list* ap) {
  f = conversion{false, false, false, false, false, 0, -1, 32, 0};
  for (;; ++p) {
    if (*p == '-') f.left = true;
    else if (*p == '0') f.zero = true;
    else if (*p == '+') f.plus = true;
    else if (*p == ' ') f.space = true;
    else if (*p == '#') f.alt = true;
    else break;
  }
  if (*p == '*') {
    ++p;
    f.width = va_arg(*ap, int);
    if (f.width < 0) { f.left = true; f.width = -f.width; }
  } else {
    f.width = parse_number(p);
  }
  if (*p == '.') {
    ++p;
    if (*p == '*') {
      ++p;
      int v = va_arg(*ap, int);
      f.precision = v < 0 ? -1 : v;
    } else {
      f.precision = parse_number(p);
    }
  }
  for (;;) {
    if (p[0] == 'h' && p[1] == 'h') { f.bits = 8; f.text = 1; p += 2; }
    else if (p[0] == 'h') { f.bits = 16; f.text = 1; p += 1; }
    else if (p[0] == 'l' && p[1] == 'l') { f.bits = 64; p += 2; }
    else if (p[0] == 'l' || p[0] == 'w') { f.bits = 32; f.text = 2; p += 1; }
    else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') { f.bits = 64; p += 3; }
    else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') { f.bits = 32; p += 3; }
    else if (p[0] == 'I' || p[0] == 'z' || p[0] == 'j' || p[0] == 't') { f.bits = 64; p += 1; }
    else if (p[0] == 'L') { f.bits = 64; p += 1; }
    else break;
  }
}

// One conversion. `wide_format` tells which text width %s and %c take by
// default. Returns false for an unknown conversion letter.
bool convert(out_sink* s, conversion& f, char32_t conv, bool wide_format, va_list* ap) {
  bool wide_text = f.text == 2 || (f.text == 0 && wide_format);
  switch (conv) {
    case 'd':
    case 'i': {
      int64_t v = signed_arg(ap, f.bits);
      uint64_t mag = v < 0 ? uint64_t(0) - uint64_t(v) : uint64_t(v);
      put_integer(s, f, mag, v < 0, 10, false);
      return true;
    }
    case 'u': put_integer(s, f, unsigned_arg(ap, f.bits), false, 10, false); return true;
    case 'x': put_integer(s, f, unsigned_arg(ap, f.bits), false, 16, false); return true;
    case 'X': put_integer(s, f, unsigned_arg(ap, f.bits), false, 16, true); return true;
    case 'o': put_integer(s, f, unsigned_arg(ap, f.bits), false, 8, false); return true;
    case 'p':
      // The Windows run time prints a pointer as all its hex digits.
      f.precision = 16;
      put_integer(s, f, uint64_t(uintptr_t(va_arg(*ap, void*))), false, 16, true);
      return true;
    case 'S': wide_text = !wide_format; [[fallthrough]];
    case 's':
      if (wide_text) put_wide_text(s, f, va_arg(*ap, const wchar_t*));
      else put_narrow_text(s, f, va_arg(*ap, const char*));
      return true;
    case 'C': wide_text = !wide_format; [[fallthrough]];
    case 'c': {
      int v = va_arg(*ap, int);
      char32_t c = wide_text ? char32_t(v) : char32_t(static_cast<unsigned char>(v));
      put_padded_text_start(s, f, 1);
      put_char(s, c);
      put_padded_text_end(s, f, 1);
      return true;
    }
    default: return false;
  }
}

// Text of the format itself: a wide format is made of characters, a narrow
// one of UTF-8 bytes that pass unchanged.
void put_format_char(out_sink* s, wchar_t c) { put_char(s, char32_t(c)); }
void put_format_char(out_sink* s, char c) {
  put_bytes(s, &c, 1);
  if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) s->chars++;
}

template <class C> void format_any(out_sink* s, const C* p, va_list* ap, bool wide_format) {
  while (*p != 0) {
    if (*p != '%') {
      put_format_char(s, *p++);
      continue;
    }
    const C* start = p++;
    if (*p == '%') { put_char(s, '%'); ++p; continue; }
    conversion f;
    parse_conversion(p, f, ap);
    if (*p == 0) break;
    if (!convert(s, f, char32_t(*p), wide_format, ap)) {
      // An unknown conversion is printed as written, so the fault shows.
      for (const C* q = start; q <= p; ++q) put_format_char(s, *q);
    }
    ++p;
  }
}

}  // namespace

void format_wide(out_sink* s, const wchar_t* format, va_list* args) {
  if (format != nullptr) format_any(s, format, args, true);
}

void format_narrow(out_sink* s, const char* format, va_list* args) {
  if (format != nullptr) format_any(s, format, args, false);
}

}  // namespace win::detail
