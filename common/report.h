// The error report: the failing call's text on a line of its own, then
// "   ^ERROR: %u, %ls" with the number and the system's text for it, which
// ends the line ("(null)" and no line end when there is no text).
// A NULL call text prints only the second line; an empty one an empty line.
#pragma once
#include "platform/types.h"

DWORD report_error(DWORD code, const wchar_t* text);          // standard output
DWORD report_error_stderr(DWORD code, const wchar_t* text);   // standard error
