// Console output in the Windows C run time's wide printf dialect, written as
// UTF-8. Each call is formatted whole and written with one write() to its
// stream, so a line appears at once also on a pipe or a file, and output of
// different threads interleaves only between calls.
//
// Conversions: %s and %ls wide text, %hs narrow text, %c wide char,
// %d %i %u %x %X with the h, l, ll, I (pointer width), I64 and I32 sizes,
// flags '-' '0' '+' ' ', a width and a precision (numbers or '*'), and %%.
// A NULL text prints "(null)".
#pragma once
#include <cstdarg>

namespace win {

enum console_stream { con_out = 1, con_err = 2 };

int wprintf(const wchar_t* format, ...);                         // standard output
int fwprintf(console_stream to, const wchar_t* format, ...);
int vfwprintf(console_stream to, const wchar_t* format, va_list args);
int printf(const char* format, ...);                             // narrow, standard output
// Formats into a caller's buffer (UTF-8), for tests and the narrow call texts.
int format_utf8(char* out, size_t size, const wchar_t* format, va_list args);

int getchar();                                                   // one byte of standard input
unsigned fgetwc_stdin();                                         // one character of standard input

}  // namespace win
