// What the socket layer does the same on every system.
#include "platform/Socket.h"

#include <cstdio>

namespace zplr::platform {

std::string ReadToken(const std::string &path)
{
    if (path.empty())
        return {};
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return {};
    char buf[65] = {};
    const size_t n = std::fread(buf, 1, 64, f);
    std::fclose(f);
    std::string token(buf, n);
    const size_t end = token.find_first_of("\r\n");
    return end == std::string::npos ? token : token.substr(0, end);
}

}  // namespace zplr::platform
