#include "server/pages.hpp"

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

}  // namespace

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
    p += "<table><thead><tr><th>Run</th><th>Hits</th><th>Score</th><th>Rate</th></tr></thead><tbody>\n";
    for (const page_run& r : s.runs) p += "<tr>" + cell(r.place) + cell(r.hits) + cell(r.score) + cell(r.rate) + "</tr>\n";
    return p + "</tbody></table>\n</body></html>\n";
}

std::string missing_page(const std::string& what) {
    return head("Not found") + "<h1>Not found</h1>\n<p>" + html_escape(what) + "</p>\n</body></html>\n";
}

}  // namespace server
