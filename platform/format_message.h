// FormatMessageW: the message text of a Windows or Winsock error number.
// Every number that this platform layer can produce has a short text ending
// in "\r\n", as the system's do; an unknown number has none.
#pragma once
#include <cstdarg>

#include "platform/types.h"

namespace win {

constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;

// With FORMAT_MESSAGE_ALLOCATE_BUFFER, `buffer` is really a wchar_t** that
// receives the text; returns its length in characters, or 0 (buffer set to
// NULL) when the number has no text.
DWORD FormatMessageW(DWORD flags, const void* source, DWORD message_id, DWORD language_id,
                     wchar_t* buffer, DWORD size, va_list* arguments);
HANDLE LocalFree(HANDLE mem);

}  // namespace win
