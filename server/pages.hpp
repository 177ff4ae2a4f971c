#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The public web pages: a board and a session as plain HTML, no script.
// Every text a player or a file chose is escaped here, and nothing else
// builds a page, so no caller can forget to.
namespace server {

// & < > " ' as entities; safe in text and in a quoted attribute.
std::string html_escape(std::string_view text);

struct page_run {
    std::int64_t place = 0;  // the rank on a board, the run's number in a session
    std::string player;
    std::int64_t hits = 0, score = 0;
    std::string rate;  // the ratio as the JSON's ratio_text
    std::string date;  // "YYYY-MM-DD"
    std::int64_t session = 0, watches = 0;
};

// The server's public address as its operator gave it: http or https, a
// host and a port, nothing more.
struct public_address {
    std::string scheme, host;  // both lower case
    int port = 0;              // given, else the scheme's own
    std::string text() const;  // scheme://host[:port], the port only when not the scheme's own
};

// "" when text is such an address (a trailing "/" allowed), else why not;
// no path, query, user, quote or angle bracket is taken.
std::string parse_public_address(const std::string& text, public_address& out);

// Whether text is host[:port]: a name of letters, digits, dots and dashes,
// or [an IPv6 address], and a port 1 to 65535, as the game's links take it.
bool well_formed_host(const std::string& text);

// Where a page's links lead: the game's velmora:// links' host[:port]
// ("" for none) and the absolute web address ("" for none). With a public
// address, that alone (a velmora:// link talks plain HTTP, so an https
// address has no game link, and the page gives its https address for the
// game to open instead); else the request's Host when it is well formed, else the
// address the request reached.
struct page_links {
    std::string game, web;
};
page_links links_for(const std::optional<public_address>& pub, const std::string& host_header, const std::string& reached);

struct board_page_data {
    std::string stage, edition, difficulty, title, artist;
    std::string host;  // the game links' host[:port] (links_for), already checked; none when empty
    std::int64_t players = 0;
    std::vector<page_run> rows;
};

struct session_page_data {
    std::int64_t session = 0, watches = 0;
    std::string player, status, stage, edition, difficulty, title, artist, date, host;
    std::vector<page_run> runs;
    std::string web;  // the server's absolute web address (links_for), for the run's own address; none when empty
};

std::string board_page(const board_page_data& b);
std::string session_page(const session_page_data& s);
std::string missing_page(const std::string& what);

constexpr const char* page_media_type = "text/html; charset=utf-8";

}  // namespace server
