#pragma once
#include <cstdint>
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

struct board_page_data {
    std::string stage, edition, difficulty, title, artist;
    std::string host;  // the request's Host, for the game's links; none without one
    std::int64_t players = 0;
    std::vector<page_run> rows;
};

struct session_page_data {
    std::int64_t session = 0, watches = 0;
    std::string player, status, stage, edition, difficulty, title, artist, date, host;
    std::vector<page_run> runs;
};

std::string board_page(const board_page_data& b);
std::string session_page(const session_page_data& s);
std::string missing_page(const std::string& what);

constexpr const char* page_media_type = "text/html; charset=utf-8";

}  // namespace server
