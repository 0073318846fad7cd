// The wide argument vector that wmain takes, from the UTF-8 one of main.
#pragma once

namespace win {

// Converts argv to wide text (invalid UTF-8 bytes become U+FFFD). The
// vector and its texts are one malloc block (free releases it);
// argv[argc] is NULL. NULL when memory runs out.
wchar_t** args_to_wide(int argc, char** argv);

}  // namespace win
