#include "server/options.hpp"

#include <boost/asio/ip/address.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "vaz/trimmed.hpp"

namespace server {
namespace {

bool whole(const char* text, long long lo, long long hi, long long& out) {
    if (!*text) return false;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 10);
    if (*end || errno || v < lo || v > hi) return false;
    out = v;
    return true;
}

bool decimal(const char* text, double lo, double hi, double& out) {
    if (!*text) return false;
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (*end || !(v >= lo && v <= hi)) return false;
    out = v;
    return true;
}

// Options that take no value: in a file, "yes" turns one on and "no" leaves it off.
bool is_switch(const std::string& key) { return key == "worker"; }

}  // namespace

bool config_arguments(const std::string& path, std::vector<std::string>& out, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read the configuration file \"" + path + "\": " + std::strerror(errno);
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string where = path + ":" + std::to_string(number) + ": ";
        line = vaz::trimmed(line.substr(0, line.find('#')));
        if (line.empty()) continue;
        const auto equals = line.find('=');
        if (equals == std::string::npos) {
            error = where + "expected \"name = value\", not \"" + line + "\"";
            return false;
        }
        const std::string key = vaz::trimmed(line.substr(0, equals));
        const std::string value = vaz::trimmed(line.substr(equals + 1));
        if (key.empty() || key.find_first_not_of("abcdefghijklmnopqrstuvwxyz-") != std::string::npos ||
            key == "config") {
            error = where + "\"" + key + "\" is not a setting";
            return false;
        }
        if (is_switch(key)) {
            if (value != "yes" && value != "no") {
                error = where + key + " must be yes or no, not \"" + value + "\"";
                return false;
            }
            if (value == "yes") out.push_back("--" + key);
            continue;
        }
        out.push_back("--" + key);
        out.push_back(value);
    }
    if (in.bad()) {
        error = "cannot read the configuration file \"" + path + "\"";
        return false;
    }
    return true;
}

const char* usage_text() {
    return "usage: velmora_server [--config FILE] --database URL --listen ADDRESS:PORT [--workers N] [--read-database URL]\n"
           "       velmora_server --worker --database URL [--workers N]\n"
           "tuning: --threads N (16) --connections N (16) --read-timeout S (5) --header-timeout S (10) --verifier PROGRAM\n"
           "        --max-connections N (4096) --max-connections-per-address N (64) --body-memory MIB (96)\n"
           "        --trusted-proxy ADDRESS (a reverse proxy whose X-Forwarded-For names the client)\n"
           "        --rate-per-address R (50) --burst-per-address B (200) --rate-per-token R (2) --burst-per-token B (30)\n"
           "        --verify-cpu-seconds S (30) --verify-wall-seconds S (60) --board-exact-top N (10000)\n"
           "        --board-cache-ms MS (1000)\n"
           "        --verify-attempts N (4) --verify-retry-seconds S (2)\n"
           "        --verify-budget-per-player S (120) --verify-budget-per-address S (600) --players-per-address N (20)\n";
}

std::optional<options> parse_options(int argc, char** argv, std::string& error) {
    // A configuration file's settings come first, so the command line's win.
    std::vector<std::string> args, given;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) != "--config") {
            given.push_back(argv[i]);
        } else if (i + 1 >= argc) {
            error = "--config needs a value";
            return std::nullopt;
        } else if (!config_arguments(argv[++i], args, error)) {
            return std::nullopt;
        }
    }
    args.insert(args.end(), given.begin(), given.end());
    const int count = static_cast<int>(args.size());
    options o;
    for (int i = 0; i < count; ++i) {
        const std::string a = args[static_cast<std::size_t>(i)];
        if (a == "--worker") {
            o.worker_only = true;
            continue;
        }
        if (i + 1 >= count) {
            error = a.rfind("--", 0) == 0 ? a + " needs a value" : "unexpected argument \"" + a + "\"";
            return std::nullopt;
        }
        const char* v = args[static_cast<std::size_t>(++i)].c_str();
        long long n = 0;
        const auto bad = [&](const char* what) {
            error = a + " must be " + what + ", not \"" + v + "\"";
            return std::nullopt;
        };
        if (a == "--database") o.database = v;
        else if (a == "--read-database") o.read_database = v;
        else if (a == "--verifier") o.verifier = v;
        else if (a == "--trusted-proxy") {
            boost::system::error_code ec;
            const auto address = boost::asio::ip::make_address(v, ec);
            if (ec) return bad("an IP address, such as 127.0.0.1");
            o.trusted_proxy = address.to_string();
        }
        else if (a == "--listen") {
            const std::string t = v;
            const auto colon = t.rfind(':');
            if (colon == std::string::npos || colon == 0 || !whole(v + colon + 1, 0, 65535, n))
                return bad("ADDRESS:PORT (port 0 to 65535)");
            o.host = t.substr(0, colon);
            o.port = static_cast<int>(n);
        } else if (a == "--workers") {
            if (!whole(v, 0, 256, n)) return bad("a whole number from 0 to 256");
            o.workers = static_cast<int>(n);
        } else if (a == "--threads") {
            if (!whole(v, 2, 4096, n)) return bad("a whole number from 2 to 4096");
            o.threads = static_cast<int>(n);
        } else if (a == "--connections") {
            if (!whole(v, 1, 1000, n)) return bad("a whole number from 1 to 1000");
            o.connections = static_cast<int>(n);
        } else if (a == "--read-timeout") {
            if (!whole(v, 1, 300, n)) return bad("a whole number of seconds from 1 to 300");
            o.read_timeout_s = static_cast<int>(n);
        } else if (a == "--header-timeout") {
            if (!whole(v, 1, 300, n)) return bad("a whole number of seconds from 1 to 300");
            o.header_timeout_s = static_cast<int>(n);
        } else if (a == "--max-connections") {
            if (!whole(v, 1, 1000000, n)) return bad("a whole number from 1 to 1000000");
            o.max_connections = static_cast<int>(n);
        } else if (a == "--max-connections-per-address") {
            if (!whole(v, 1, 1000000, n)) return bad("a whole number from 1 to 1000000");
            o.max_per_address = static_cast<int>(n);
        } else if (a == "--body-memory") {
            if (!whole(v, 1, 65536, n)) return bad("a whole number of MiB from 1 to 65536");
            o.body_memory_mib = static_cast<int>(n);
        } else if (a == "--verify-cpu-seconds") {
            if (!whole(v, 1, 3600, n)) return bad("a whole number of seconds from 1 to 3600");
            o.verify.cpu_seconds = static_cast<int>(n);
        } else if (a == "--verify-wall-seconds") {
            if (!whole(v, 1, 7200, n)) return bad("a whole number of seconds from 1 to 7200");
            o.verify.wall_seconds = static_cast<int>(n);
        } else if (a == "--verify-attempts") {
            if (!whole(v, 1, 100, n)) return bad("a whole number from 1 to 100");
            o.verify_attempts = static_cast<int>(n);
        } else if (a == "--verify-retry-seconds") {
            if (!decimal(v, 0.1, 3600, o.verify_retry_s)) return bad("seconds from 0.1 to 3600");
        } else if (a == "--verify-budget-per-player") {
            if (!decimal(v, 0, 1e6, o.verify_budget_player_s)) return bad("seconds of CPU an hour (0 for no limit)");
        } else if (a == "--verify-budget-per-address") {
            if (!decimal(v, 0, 1e6, o.verify_budget_address_s)) return bad("seconds of CPU an hour (0 for no limit)");
        } else if (a == "--players-per-address") {
            if (!whole(v, 0, 1000000, n)) return bad("a whole number of players an hour (0 for no limit)");
            o.players_per_address = static_cast<int>(n);
        } else if (a == "--rate-per-address") {
            if (!decimal(v, 0, 1e9, o.address_rate)) return bad("a rate a second (0 for none)");
        } else if (a == "--burst-per-address") {
            if (!decimal(v, 1, 1e9, o.address_burst)) return bad("a count from 1");
        } else if (a == "--rate-per-token") {
            if (!decimal(v, 0, 1e9, o.token_rate)) return bad("a rate a second (0 for none)");
        } else if (a == "--board-exact-top") {
            if (!whole(v, 1, 1000000000, n)) return bad("a count from 1");
            o.board_exact_top = static_cast<int>(n);
        } else if (a == "--board-cache-ms") {
            if (!whole(v, 0, 60000, n)) return bad("a whole number of milliseconds from 0 to 60000 (0: off)");
            o.board_cache_ms = static_cast<int>(n);
        } else if (a == "--burst-per-token") {
            if (!decimal(v, 1, 1e9, o.token_burst)) return bad("a count from 1");
        } else {
            error = "unknown option \"" + a + "\"";
            return std::nullopt;
        }
    }
    if (o.database.empty()) {
        error = "--database URL is needed";
        return std::nullopt;
    }
    if (o.worker_only) {
        if (o.port >= 0 || !o.read_database.empty()) {
            error = "a worker (--worker) neither listens nor reads boards: no --listen or --read-database";
            return std::nullopt;
        }
        if (o.workers == 0) o.workers = 1;
    } else if (o.port < 0) {
        error = "--listen ADDRESS:PORT is needed";
        return std::nullopt;
    }
    return o;
}

}  // namespace server
