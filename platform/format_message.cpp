// FormatMessageW over the layer's own message table.
#include "platform/format_message.h"

#include <cstdlib>
#include <cwchar>

#include "platform/format_message_table.h"
#include "platform/sync.h"

namespace win {

DWORD FormatMessageW(DWORD flags, const void* source, DWORD message_id, DWORD language_id,
                     wchar_t* buffer, DWORD size, va_list* arguments) {
  (void)source;
  (void)language_id;
  (void)arguments;  // texts are returned with their inserts as they stand
  bool allocate = (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0;
  if (allocate && buffer != nullptr) *reinterpret_cast<wchar_t**>(buffer) = nullptr;
  if (buffer == nullptr || (flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const wchar_t* text = detail::message_text(message_id);
  if (text == nullptr) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  size_t length = std::wcslen(text);
  if (allocate) {
    // At least `size` characters, as the system allocates.
    size_t chars = length + 1 > size ? length + 1 : size;
    auto* copy = static_cast<wchar_t*>(std::malloc(chars * sizeof(wchar_t)));
    if (copy == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    std::wmemcpy(copy, text, length + 1);
    *reinterpret_cast<wchar_t**>(buffer) = copy;
    return DWORD(length);
  }
  if (length + 1 > size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::wmemcpy(buffer, text, length + 1);
  return DWORD(length);
}

HANDLE LocalFree(HANDLE mem) {
  std::free(mem);
  return nullptr;
}

}  // namespace win
