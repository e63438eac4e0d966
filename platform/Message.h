// The library's message boxes.
#pragma once

#include <string>

#include "zPLR_host.h"

namespace zplr::platform {

constexpr unsigned MessageOk = 0x0;
constexpr unsigned MessageOkTopmost = 0x40000;

// Shows a code page 936 text through the application's handler, or the
// platform's default; returns when the message has been closed.
void ShowMessage(const char *textCp936, unsigned style);

// The platform's own message box (Windows) or a line on stderr.
void DefaultMessage(const char *textCp936, unsigned style);

// UTF-8 form of a code page 936 text. Covers ASCII and the characters of
// the library's own messages; anything else becomes U+FFFD.
std::string Cp936ToUtf8(const char *text);

}  // namespace zplr::platform
