#include "server/multipart.hpp"

#include <algorithm>
#include <functional>

namespace server {
namespace {

constexpr std::size_t most_part_headers = 8;
constexpr std::size_t most_header_bytes = 1024;

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_text(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool token_char(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// RFC 2046's bchars, the space aside.
bool boundary_char(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           std::string_view("'()+_,-./:=?").find(c) != std::string_view::npos;
}

// A header's parameters after its first value: `; name=value` (a token or a
// quoted string) each; calls f(name, value) and stops when it says false.
template <typename F>
bool read_parameters(std::string_view s, F f) {
    for (;;) {
        s = trimmed(s);
        if (s.empty()) return true;
        if (s.front() != ';') return false;
        s = trimmed(s.substr(1));
        std::size_t n = 0;
        while (n < s.size() && token_char(s[n])) ++n;
        if (n == 0 || n >= s.size() || s[n] != '=') return false;
        const std::string_view name = s.substr(0, n);
        s.remove_prefix(n + 1);
        std::string value;
        if (!s.empty() && s.front() == '"') {
            std::size_t i = 1;
            for (;; ++i) {
                if (i >= s.size()) return false;
                const char c = s[i];
                if (c == '"') break;
                if (c == '\r' || c == '\n' || c == '\0') return false;
                if (c == '\\') {
                    if (++i >= s.size() || s[i] == '\r' || s[i] == '\n' || s[i] == '\0') return false;
                }
                value += s[i];
            }
            s.remove_prefix(i + 1);
        } else {
            std::size_t i = 0;
            while (i < s.size() && token_char(s[i])) ++i;
            if (i == 0) return false;
            value = std::string(s.substr(0, i));
            s.remove_prefix(i);
        }
        if (!f(name, std::move(value))) return false;
    }
}

bool read_disposition(std::string_view value, form_part& p) {
    const std::size_t semi = value.find(';');
    if (!same_text(trimmed(value.substr(0, semi)), "form-data") || semi == std::string_view::npos) return false;
    bool named = false, filed = false;
    const bool ok = read_parameters(value.substr(semi), [&](std::string_view name, std::string v) {
        if (same_text(name, "name")) {
            if (named || v.empty()) return false;
            named = true;
            p.name = std::move(v);
        } else if (same_text(name, "filename")) {
            if (filed) return false;
            filed = true;
            p.filename = std::move(v);
        }
        // Other parameters (filename*) name nothing this server reads.
        return true;
    });
    return ok && named;
}

}  // namespace

std::optional<std::string> multipart_boundary(std::string_view content_type) {
    const std::size_t semi = content_type.find(';');
    if (!same_text(trimmed(content_type.substr(0, semi)), "multipart/form-data") || semi == std::string_view::npos)
        return std::nullopt;
    std::optional<std::string> boundary;
    const bool ok = read_parameters(content_type.substr(semi), [&](std::string_view name, std::string v) {
        if (!same_text(name, "boundary")) return true;
        if (boundary || v.empty() || v.size() > 70 || v.back() == ' ') return false;
        for (char c : v)
            if (!boundary_char(c) && c != ' ') return false;
        boundary = std::move(v);
        return true;
    });
    if (!ok) return std::nullopt;
    return boundary;
}

bool parse_multipart(std::string_view body, const std::string& boundary, std::vector<form_part>& parts) {
    if (boundary.empty()) return false;
    const std::string first = "--" + boundary;
    const std::string next = "\r\n" + first;
    // Linear whatever the parts hold: a body is megabytes and chosen by its sender.
    const std::boyer_moore_searcher<const char*> delimiter(next.data(), next.data() + next.size());
    if (body.substr(0, first.size()) != first) return false;
    std::size_t at = first.size();
    for (;;) {
        if (body.substr(at, 2) == "--") {
            const std::string_view rest = body.substr(at + 2);
            return rest.empty() || rest == "\r\n";
        }
        if (body.substr(at, 2) != "\r\n" || parts.size() >= most_parts) return false;
        at += 2;
        form_part p;
        bool disposition = false;
        for (std::size_t lines = 0;; ++lines) {
            const std::size_t end = body.find("\r\n", at);
            if (end == std::string_view::npos || end - at > most_header_bytes || lines > most_part_headers) return false;
            const std::string_view line = body.substr(at, end - at);
            at = end + 2;
            if (line.empty()) break;
            const std::size_t colon = line.find(':');
            if (colon == std::string_view::npos || colon == 0) return false;
            for (char c : line.substr(0, colon))
                if (!token_char(c)) return false;
            if (same_text(line.substr(0, colon), "content-disposition")) {
                if (disposition || !read_disposition(trimmed(line.substr(colon + 1)), p)) return false;
                disposition = true;
            }
            // Content-Type and the like: a part's bytes are taken as they are.
        }
        if (!disposition) return false;
        const char* const from = body.data() + at;
        const char* const found = std::search(from, body.data() + body.size(), delimiter);
        if (found == body.data() + body.size()) return false;
        p.content.assign(from, found);
        parts.push_back(std::move(p));
        at = static_cast<std::size_t>(found - body.data()) + next.size();
    }
}

}  // namespace server
