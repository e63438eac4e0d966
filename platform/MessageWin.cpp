#include <windows.h>

#include "platform/Message.h"

namespace zplr::platform {

static_assert(MessageOk == MB_OK && MessageOkTopmost == (MB_OK | MB_TOPMOST));

// The bytes go out as they are: the box's users run code page 936 systems,
// where the ANSI message box reads them as intended.
void DefaultMessage(const char *textCp936, unsigned style)
{
    MessageBoxA(nullptr, textCp936, "zPLR", MB_OK | style);
}

}  // namespace zplr::platform
