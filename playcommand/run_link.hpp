#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "online/client.hpp"

// A link to a run on a scoreboard server, opened by velmora_play as a
// browser or desktop hands it over:
//   velmora://HOST[:PORT]/sessions/ID[?t=SECONDS]   (port 8029 unless given)
//   http[s]://HOST[:PORT]/sessions/ID[?t=SECONDS]   (the server's web address)
// Parsed strictly: the session id is digits only, so it can name a file in
// the cache and nothing else.
namespace playcommand {

constexpr int default_server_port = 8029;

struct run_link {
    std::string server;                 // http://HOST:PORT or https://HOST[:PORT], for online::client
    std::string base;                   // the link without t=, in its own scheme, as the game copies it
    std::int64_t session = 0;
    std::optional<std::int64_t> at_ms;  // t=
};

// Whether `arg` is written as a URL (a scheme, then "://"), not a file.
bool looks_like_url(const std::string& arg);

// "" and `out` filled, or why `url` is no run link.
std::string parse_run_link(const std::string& url, run_link& out);

// A run's link at a moment (whole seconds, as the game copies it).
std::string run_link_at(const run_link& link, std::int64_t at_ms);

// A file:// URL as a desktop entry's %U passes a local file: its path, or
// "" when it names another machine or is malformed.
std::string file_url_path(const std::string& url);

// The replay of a server session, downloaded, checked to be one and kept as
// DIR/session-ID.vrp (written under a temporary name and renamed); its path,
// or "" with `why` set.
std::string fetch_session_replay(const online::client& client, std::int64_t session, const std::string& dir,
                                 std::string& why);

}  // namespace playcommand
