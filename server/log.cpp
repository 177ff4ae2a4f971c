#include "server/log.hpp"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace server {
namespace {

bool plain(const std::string& v) {
    if (v.empty()) return false;
    for (unsigned char c : v)
        if (c <= ' ' || c == '"' || c == '=' || c == '\\' || c == 0x7f) return false;
    return true;
}

void append_value(std::string& out, const std::string& v) {
    if (plain(v)) {
        out += v;
        return;
    }
    out += '"';
    for (unsigned char c : v) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < ' ' || c == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

}  // namespace

std::string log_line(const std::string& event, const std::vector<log_field>& fields) {
    std::string line = "velmora_server: event=";
    line += event;
    for (const log_field& f : fields) {
        line += ' ';
        line += f.first;
        line += '=';
        append_value(line, f.second);
    }
    return line;
}

namespace {
std::atomic<bool> silenced{false};
}  // namespace

void silence_log() { silenced = true; }

void log_event(const std::string& event, const std::vector<log_field>& fields) {
    if (silenced) return;
    const std::string line = log_line(event, fields) + "\n";
    // One write for the line: no stdio buffer another thread could split.
    for (std::size_t at = 0; at < line.size();) {
        const ssize_t n = ::write(2, line.data() + at, line.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        at += static_cast<std::size_t>(n);
    }
}

}  // namespace server
