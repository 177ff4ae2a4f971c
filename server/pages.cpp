#include "server/pages.hpp"

#include <algorithm>
#include <cctype>

namespace server {
namespace {

const char* const style =
    "body{font-family:sans-serif;margin:2em;max-width:60em}table{border-collapse:collapse}"
    "th,td{padding:.25em .7em;text-align:left}td.n{text-align:right}tr:nth-child(even){background:#f3f3f3}";

std::string head(const std::string& title) {
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width\"><title>" +
           html_escape(title) + "</title><style>" + style + "</style></head><body>\n";
}

std::string cell(std::int64_t n, const char* cls = "n") {
    return std::string("<td class=\"") + cls + "\">" + std::to_string(n) + "</td>";
}
std::string cell(const std::string& text) { return "<td>" + html_escape(text) + "</td>"; }

// The song's title, or its stage's hash when the file named none.
std::string song(const std::string& title, const std::string& stage) { return title.empty() ? stage : title; }

std::string game_link(const std::string& host, std::int64_t session) {
    if (host.empty()) return {};
    return " <a href=\"velmora://" + html_escape(host) + "/sessions/" + std::to_string(session) + "\">open in the game</a>";
}

bool all_digits(const std::string& s) { return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos; }

// "" when text is host[:port] (see well_formed_host), its parts set.
std::string split_host(const std::string& text, std::string& host, int& port) {
    std::size_t end = 0;
    if (!text.empty() && text[0] == '[') {
        end = text.find(']');
        if (end == std::string::npos || end < 3 || text.find_first_not_of("0123456789abcdefABCDEF:.", 1) != end)
            return "its host is no [IPv6 address]";
        ++end;
    } else {
        end = std::min(text.find(':'), text.size());
        if (end == 0 || text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") < end ||
            text[0] == '.' || text[0] == '-')
            return "its host must be letters, digits, dots and dashes, or [an IPv6 address]";
    }
    host = text.substr(0, end);
    port = 0;
    if (end == text.size()) return {};
    const std::string p = text.substr(end + 1);
    if (text[end] != ':' || !all_digits(p) || p.size() > 5 || std::stoi(p) < 1 || std::stoi(p) > 65535)
        return "its port must be a whole number from 1 to 65535";
    port = std::stoi(p);
    return {};
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

std::string public_address::text() const {
    const bool own = port == (scheme == "https" ? 443 : 80);
    return scheme + "://" + host + (own ? "" : ":" + std::to_string(port));
}

std::string parse_public_address(const std::string& text, public_address& out) {
    const std::size_t sep = text.find("://");
    const std::string scheme = lower(text.substr(0, sep));
    if (sep == std::string::npos || (scheme != "http" && scheme != "https"))
        return "it must start with http:// or https://";
    std::string rest = text.substr(sep + 3);
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (rest.find_first_of("/?#@\\") != std::string::npos) return "it must be only a scheme, a host and a port: no path, query or user";
    std::string host;
    int port = 0;
    if (std::string why = split_host(rest, host, port); !why.empty()) return why;
    out = {scheme, lower(host), port ? port : (scheme == "https" ? 443 : 80)};
    return {};
}

bool well_formed_host(const std::string& text) {
    std::string host;
    int port = 0;
    return split_host(text, host, port).empty();
}

page_links links_for(const std::optional<public_address>& pub, const std::string& host_header, const std::string& reached) {
    if (pub) {
        if (pub->scheme == "https") return {{}, pub->text()};
        return {pub->host + ":" + std::to_string(pub->port), pub->text()};
    }
    return {well_formed_host(host_header) ? host_header : reached, {}};
}

std::string html_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string board_page(const board_page_data& b) {
    const std::string name = song(b.title, b.stage);
    std::string p = head(name + (b.artist.empty() ? "" : " — " + b.artist));
    p += "<h1>" + html_escape(name) + "</h1>\n<p>";
    if (!b.artist.empty()) p += html_escape(b.artist) + " · ";
    p += html_escape(b.edition) + " · " + html_escape(b.difficulty) + " · " + std::to_string(b.players) +
         (b.players == 1 ? " player" : " players") + "</p>\n";
    if (b.rows.empty()) return p + "<p>No verified runs yet.</p>\n</body></html>\n";
    p += "<table><thead><tr><th>Rank</th><th>Player</th><th>Hits</th><th>Score</th><th>Rate</th><th>Date</th>"
         "<th>Watches</th><th>Session</th></tr></thead><tbody>\n";
    for (const page_run& r : b.rows) {
        const std::string id = std::to_string(r.session);
        p += "<tr>" + cell(r.place) + cell(r.player) + cell(r.hits) + cell(r.score) + cell(r.rate) + cell(r.date) +
             cell(r.watches, "n watches") + "<td><a href=\"/sessions/" + id + "\">" + id + "</a>" + game_link(b.host, r.session) +
             "</td></tr>\n";
    }
    return p + "</tbody></table>\n</body></html>\n";
}

std::string session_page(const session_page_data& s) {
    const std::string id = std::to_string(s.session), name = song(s.title, s.stage);
    std::string p = head("Session " + id + " — " + s.player);
    p += "<h1>Session " + id + "</h1>\n<p>Played by " + html_escape(s.player) + " on " + html_escape(s.date) + ": <a href=\"/boards/" +
         html_escape(s.stage) + "/" + html_escape(s.edition) + "/" + html_escape(s.difficulty) + "\">" + html_escape(name) + "</a>";
    if (!s.artist.empty()) p += " by " + html_escape(s.artist);
    p += " (" + html_escape(s.edition) + ", " + html_escape(s.difficulty) + ").</p>\n<p>Status: " + html_escape(s.status) +
         ". Watched <span class=\"watches\">" + std::to_string(s.watches) + "</span> " + (s.watches == 1 ? "time" : "times") +
         ".</p>\n<p><a href=\"/v1/sessions/" + id + "/replay\">Download the replay</a>" + game_link(s.host, s.session) + "</p>\n";
    if (!s.web.empty()) {
        const std::string here = html_escape(s.web) + "/sessions/" + id;
        p += "<p>This run's address, which the game opens too: <a href=\"" + here + "\">" + here + "</a></p>\n";
    }
    p += "<table><thead><tr><th>Run</th><th>Hits</th><th>Score</th><th>Rate</th></tr></thead><tbody>\n";
    for (const page_run& r : s.runs) p += "<tr>" + cell(r.place) + cell(r.hits) + cell(r.score) + cell(r.rate) + "</tr>\n";
    return p + "</tbody></table>\n</body></html>\n";
}

std::string missing_page(const std::string& what) {
    return head("Not found") + "<h1>Not found</h1>\n<p>" + html_escape(what) + "</p>\n</body></html>\n";
}

}  // namespace server
