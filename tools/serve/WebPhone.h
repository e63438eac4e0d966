// zlbox serve --web: a page per served box with its line, what the box and
// the application do, and the line's sound, over HTTP on loopback.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace zlbox {

class BoxServer;

// "HOST:PORT", "HOST" or "" (127.0.0.1:8765); a loopback host only
// (127.x.x.x, localhost, ::1 or [::1]), port 0 for any free one. False
// with the reason.
bool ParseWebAddress(const std::string &text, std::string &host, int &port, std::string &why);

// Equal strings, in a time that does not tell how much of them matched.
bool SameSecret(const std::string &a, const std::string &b);

// Whether this zlbox was built with the web phone.
bool HaveWebPhone();

class WebPhone {
public:
    // Watches `server`'s boxes from now on: set up before the server runs,
    // gone before it is.
    WebPhone(BoxServer &server, const std::vector<int> &boxes);
    ~WebPhone();
    WebPhone(const WebPhone &) = delete;
    WebPhone &operator=(const WebPhone &) = delete;

    // Binds and serves on threads of its own; the page's URL (with a fresh
    // token) in `url`.
    bool Start(const std::string &host, int port, std::string &url, std::string &error);
    void Stop();

    // What a page opened later is shown of the past, per box.
    static constexpr size_t TimelineEvents = 1000;
    static constexpr size_t CommandEvents = 200;
    // Sound kept for pages to fetch, per box and direction: 8 s.
    static constexpr size_t SoundKept = 64000;
    // Event streams open at once; more are answered 503.
    static constexpr size_t MaxStreams = 16;

    struct Impl;

private:
    std::unique_ptr<Impl> I_;
};

}  // namespace zlbox
