#pragma once
#include <optional>
#include <string>
#include <vector>

#include "server/pages.hpp"
#include "server/submission.hpp"
#include "server/verifier.hpp"

namespace server {

// The command line, read once, after the settings of a configuration file
// given with --config FILE:
//   velmora_server --database URL --listen ADDRESS:PORT [--workers N] [--read-database URL]
//   velmora_server --worker --database URL [--workers N]
// with the tuning options of usage_text().
struct options {
    bool worker_only = false;
    std::string database;
    std::string read_database;  // board reads and files; the primary when empty
    std::string host;
    int port = -1;             // 0: any free port, printed at start
    int workers = 0;           // in-process verification workers (1 for --worker)
    int threads = 16;          // threads running the routes' handlers (the I/O has its own)
    int connections = 16;      // database connections per pool
    int read_timeout_s = 5;    // a client silent this long is dropped
    int header_timeout_s = 10;  // a request's headers whole within this of their first byte
    int max_connections = 4096;
    int max_per_address = 64;
    std::string trusted_proxy;  // a reverse proxy's address, whose X-Forwarded-For names the client
    std::optional<public_address> public_url;  // where players reach the server, for the pages' links
    int body_memory_mib = 96;  // bodies being read or handled at once
    double address_rate = 50, address_burst = 200;  // requests a second per address
    double token_rate = 2, token_burst = 30;        // submissions a second per token
    int board_exact_top = 10000;  // board places exact up to this one
    int board_cache_ms = 1000;    // how long a board's top rows and count are kept (0: not kept)
    int refusal_log_s = 60;       // refusals summed up in one log line this often
    std::string verifier;      // the re-play program; velmora_verify beside this one by default
    int verify_attempts = 4;   // failed re-plays before a session is unverified
    double verify_retry_s = 2; // the wait after the first; four times as long after each next
    // Verification CPU a player's, and an address's, sessions may have
    // spent in the last hour for a new submission to be taken (0: no limit).
    double verify_budget_player_s = 120, verify_budget_address_s = 600;
    int players_per_address = 20;  // new players an address may make an hour (0: no limit)
    limits lim;
    verify_limits verify;
};

const char* usage_text();

// A configuration file (`name = value` lines, `#` comments; names are the
// options' without their dashes, `worker = yes` for --worker) as the
// arguments it stands for, appended to `out`. False with a message naming
// the file and line.
bool config_arguments(const std::string& path, std::vector<std::string>& out, std::string& error);

// The options, or a message for standard error (bad usage, status 2).
std::optional<options> parse_options(int argc, char** argv, std::string& error);

}  // namespace server
