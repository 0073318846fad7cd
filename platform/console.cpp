// Console calls: format on the stack, then one write() to fd 1 or 2, so a
// line reaches a pipe or a file at once and threads interleave only between
// calls. Output longer than the stack buffer goes out in pieces.
#include "platform/console.h"

#include <cerrno>
#include <unistd.h>

#include "platform/console_format.h"
#include "platform/utf8.h"

namespace win {

namespace {

constexpr size_t console_buffer = 4096;

int finish(detail::out_sink* s) {
  detail::sink_flush(s);
  return s->failed ? -1 : int(s->chars);
}

}  // namespace

int vfwprintf(console_stream to, const wchar_t* format, va_list args) {
  char buf[console_buffer];
  detail::out_sink s;
  detail::sink_init(&s, buf, sizeof buf, int(to));
  va_list ap;
  va_copy(ap, args);
  detail::format_wide(&s, format, &ap);
  va_end(ap);
  return finish(&s);
}

int fwprintf(console_stream to, const wchar_t* format, ...) {
  va_list ap;
  va_start(ap, format);
  int n = vfwprintf(to, format, ap);
  va_end(ap);
  return n;
}

int wprintf(const wchar_t* format, ...) {
  va_list ap;
  va_start(ap, format);
  int n = vfwprintf(con_out, format, ap);
  va_end(ap);
  return n;
}

int printf(const char* format, ...) {
  char buf[console_buffer];
  detail::out_sink s;
  detail::sink_init(&s, buf, sizeof buf, int(con_out));
  va_list ap;
  va_start(ap, format);
  detail::format_narrow(&s, format, &ap);
  va_end(ap);
  return finish(&s);
}

int format_utf8(char* out, size_t size, const wchar_t* format, va_list args) {
  char dummy;
  detail::out_sink s;
  // Keep the last byte for the terminating NUL.
  if (out == nullptr || size == 0) detail::sink_init(&s, &dummy, 0, -1);
  else detail::sink_init(&s, out, size - 1, -1);
  va_list ap;
  va_copy(ap, args);
  detail::format_wide(&s, format, &ap);
  va_end(ap);
  if (out != nullptr && size > 0) out[s.len] = 0;
  return int(s.total);
}

namespace {

// One byte of standard input; -1 at its end or on failure.
int read_byte() {
  unsigned char b;
  for (;;) {
    ssize_t n = ::read(0, &b, 1);
    if (n == 1) return b;
    if (n == -1 && errno == EINTR) continue;
    return -1;
  }
}

}  // namespace

int getchar() { return read_byte(); }

unsigned fgetwc_stdin() {
  constexpr unsigned weof = 0xFFFF;
  int b = read_byte();
  if (b < 0) return weof;
  unsigned char s[4] = {static_cast<unsigned char>(b), 0, 0, 0};
  size_t need = b < 0xC0 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
  size_t have = 1;
  // Reads only the continuation bytes the lead byte announces, so that no
  // input beyond this character is taken.
  while (have < need) {
    int c = read_byte();
    if (c < 0) break;
    s[have++] = static_cast<unsigned char>(c);
    if ((c & 0xC0) != 0x80) break;
  }
  char32_t ch;
  utf8::decode(s, have, &ch);
  return unsigned(ch);
}

}  // namespace win
