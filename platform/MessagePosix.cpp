#include <cstdio>

#include "platform/Message.h"

namespace zplr::platform {

void DefaultMessage(const char *textCp936, unsigned)
{
    std::string text = Cp936ToUtf8(textCp936);
    std::fprintf(stderr, "zPLR: %s\n", text.c_str());
}

}  // namespace zplr::platform
