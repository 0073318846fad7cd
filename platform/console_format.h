// The formatter behind the console calls: the wide printf dialect of the
// Windows C run time, producing UTF-8 into a sink. Internal to the layer.
#pragma once
#include <cstdarg>
#include <cstddef>

namespace win::detail {

// Where formatted bytes go. With an fd the sink writes itself out whenever
// `buf` fills, so output of any length needs no allocation; without one
// (fd < 0) bytes past `cap` are dropped but still counted.
struct out_sink {
  char* buf;
  size_t cap;
  size_t len;      // bytes waiting in buf
  int fd;          // destination, or -1 for a caller's buffer
  size_t total;    // bytes produced so far
  size_t chars;    // characters produced so far
  bool failed;     // a write to fd failed
};

void sink_init(out_sink* s, char* buf, size_t cap, int fd);
void sink_flush(out_sink* s);

// `args` points at a va_list the caller owns (va_copy'd), so that one
// va_list is consumed across the helper calls.
void format_wide(out_sink* s, const wchar_t* format, va_list* args);
void format_narrow(out_sink* s, const char* format, va_list* args);

// write() of every byte, retried after a partial write or EINTR.
bool write_all(int fd, const char* p, size_t n);

}  // namespace win::detail
