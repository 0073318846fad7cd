// Console output in the Windows C run time's wide printf dialect, written as
// UTF-8. Each call is formatted whole and written with one write() to its
// stream, so a line appears at once also on a pipe or a file, and output of
// different threads interleaves only between calls.
//
// Conversions: %s and %ls wide text, %hs narrow text, %c wide char,
// %d %i %u %x %X with the h, l, ll, I (pointer width), I64 and I32 sizes,
// flags '-' '0' '+' ' ', a width and a precision (numbers or '*'), and %%.
// A NULL text prints "(null)". Sizes are those of Windows: "l" is 32 bits.
// Widths and precisions of text count characters. Formatting does not
// depend on the process locale.
//
// The print calls return the number of characters written, or -1 when the
// stream could not be written.
#pragma once
#include <cstdarg>
#include <cstddef>

namespace win {

enum console_stream { con_out = 1, con_err = 2 };

int wprintf(const wchar_t* format, ...);                         // standard output
int fwprintf(console_stream to, const wchar_t* format, ...);
int vfwprintf(console_stream to, const wchar_t* format, va_list args);
int printf(const char* format, ...);                             // narrow, standard output
// Formats into a caller's buffer (UTF-8), for tests and the narrow call texts.
// The text is cut to fit and always ends in a NUL (when size > 0); the
// result is the number of bytes the whole text takes, as with snprintf.
int format_utf8(char* out, size_t size, const wchar_t* format, va_list args);

int getchar();                                                   // one byte of standard input
unsigned fgetwc_stdin();                                         // one character of standard input

}  // namespace win
