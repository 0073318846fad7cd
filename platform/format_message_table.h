// The message texts behind FormatMessageW. Internal to the layer.
#pragma once
#include "platform/types.h"

namespace win::detail {

// The text of a system, Winsock or CryptoAPI error number, ending in
// "\r\n"; NULL when the number has none.
const wchar_t* message_text(DWORD code);

}  // namespace win::detail
