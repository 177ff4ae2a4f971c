#pragma once
#include <optional>
#include <string>

#include "server/submission.hpp"
#include "server/verifier.hpp"

namespace server {

// The command line, read once:
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
    int threads = 64;          // HTTP threads: each serves one connection at a time
    int connections = 16;      // database connections per pool
    int read_timeout_s = 5;    // a client silent this long is dropped
    double address_rate = 50, address_burst = 200;  // requests a second per address
    double token_rate = 2, token_burst = 30;        // submissions a second per token
    int board_exact_top = 10000;  // board places exact up to this one
    std::string verifier;      // the re-play program; velmora_verify beside this one by default
    limits lim;
    verify_limits verify;
};

const char* usage_text();

// The options, or a message for standard error (bad usage, status 2).
std::optional<options> parse_options(int argc, char** argv, std::string& error);

}  // namespace server
