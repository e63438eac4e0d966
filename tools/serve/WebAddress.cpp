#include <algorithm>
#include <cstdlib>

#include "tools/serve/WebPhone.h"

namespace zlbox {

bool ParseWebAddress(const std::string &text, std::string &host, int &port, std::string &why)
{
    host = "127.0.0.1";
    port = 8765;
    if (text.empty())
        return true;
    std::string h = text, p;
    if (text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || (close + 1 < text.size() && text[close + 1] != ':')) {
            why = "'" + text + "' is not HOST:PORT";
            return false;
        }
        h = text.substr(1, close - 1);
        if (close + 1 < text.size())
            p = text.substr(close + 2);
    } else if (text.find(':') != text.rfind(':')) {
        h = text;  // a bare IPv6 address
    } else if (const size_t colon = text.find(':'); colon != std::string::npos) {
        h = text.substr(0, colon);
        p = text.substr(colon + 1);
    }
    if (text.find(':') != std::string::npos && text[0] != '[' && text.find(':') == text.rfind(':') &&
        p.empty()) {
        why = "'" + text + "' has no port after its ':'";
        return false;
    }
    if (!p.empty()) {
        char *end = nullptr;
        const long n = std::strtol(p.c_str(), &end, 10);
        if (*end || n < 0 || n > 65535 || p[0] == '-' || p[0] == '+') {
            why = "'" + p + "' is not a port (0 to 65535; 0: any free one)";
            return false;
        }
        port = static_cast<int>(n);
    }
    bool loopback = h == "localhost" || h == "::1";
    if (h.rfind("127.", 0) == 0) {
        // Four numbers of 0-255 only: "127.evil.example" is a name.
        int parts = 0;
        loopback = true;
        for (size_t at = 0; at <= h.size() && loopback; ++parts) {
            const size_t dot = std::min(h.find('.', at), h.size());
            const std::string n = h.substr(at, dot - at);
            loopback = !n.empty() && n.size() <= 3 && n.find_first_not_of("0123456789") == std::string::npos &&
                       std::atoi(n.c_str()) <= 255;
            at = dot + 1;
        }
        loopback = loopback && parts == 4;
    }
    if (!loopback) {
        why = "'" + h + "' is not a loopback address: the page is served on this machine only "
              "(127.0.0.1, localhost or ::1)";
        return false;
    }
    host = h == "localhost" ? "127.0.0.1" : h;
    return true;
}

bool SameSecret(const std::string &a, const std::string &b)
{
    // Every byte of the longer one is looked at, whatever differs.
    const size_t n = a.size() > b.size() ? a.size() : b.size();
    unsigned diff = a.size() != b.size();
    for (size_t i = 0; i < n; ++i)
        diff |= static_cast<unsigned char>(i < a.size() ? a[i] : 0) ^
                static_cast<unsigned char>(i < b.size() ? b[i] : 0);
    return diff == 0;
}

}  // namespace zlbox

#ifndef ZLBOX_WEB
namespace zlbox {

bool HaveWebPhone() { return false; }

struct WebPhone::Impl {};
WebPhone::WebPhone(BoxServer &, const std::vector<int> &) {}
WebPhone::~WebPhone() = default;
bool WebPhone::Start(const std::string &, int, std::string &, std::string &error)
{
    error = "built without the web phone";
    return false;
}
void WebPhone::Stop() {}

}  // namespace zlbox
#endif
