#include "server/options.hpp"

#include <boost/asio/ip/address.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
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
           "        --public-url URL (http[s]://HOST[:PORT], where players reach this server, for the pages' links)\n"
           "        --rate-per-address R (50) --burst-per-address B (200) --rate-per-token R (2) --burst-per-token B (30)\n"
           "        --verify-cpu-seconds S (30) --verify-wall-seconds S (60) --board-exact-top N (10000)\n"
           "        --board-cache-ms MS (1000) --refusal-log-seconds S (60)\n"
           "        --verify-attempts N (4) --verify-retry-seconds S (2)\n"
           "        --verify-budget-per-player S (120) --verify-budget-per-address S (600) --players-per-address N (20)\n";
}

namespace {

// An option's value into options; false when the value is not one it takes.
using setter = std::function<bool(const char* value, options& o)>;

struct option_row {
    const char* name;     // with its dashes
    const char* must_be;  // what a value must be, for the refusal
    setter set;
};

setter text(std::string options::*field) {
    return [field](const char* v, options& o) {
        o.*field = v;
        return true;
    };
}

setter count(int options::*field, long long lo, long long hi) {
    return [=](const char* v, options& o) {
        long long n = 0;
        if (!whole(v, lo, hi, n)) return false;
        o.*field = static_cast<int>(n);
        return true;
    };
}

setter amount(double options::*field, double lo, double hi) {
    return [=](const char* v, options& o) { return decimal(v, lo, hi, o.*field); };
}

setter verify_seconds(int verify_limits::*field, long long hi) {
    return [=](const char* v, options& o) {
        long long n = 0;
        if (!whole(v, 1, hi, n)) return false;
        o.verify.*field = static_cast<int>(n);
        return true;
    };
}

bool set_listen(const char* v, options& o) {
    const std::string t = v;
    const auto colon = t.rfind(':');
    long long n = 0;
    if (colon == std::string::npos || colon == 0 || !whole(v + colon + 1, 0, 65535, n)) return false;
    o.host = t.substr(0, colon);
    o.port = static_cast<int>(n);
    return true;
}

bool set_trusted_proxy(const char* v, options& o) {
    boost::system::error_code ec;
    const auto address = boost::asio::ip::make_address(v, ec);
    if (ec) return false;
    o.trusted_proxy = address.to_string();
    return true;
}

bool set_public_url(const char* v, options& o) {
    public_address a;
    if (!parse_public_address(v, a).empty()) return false;
    o.public_url = a;
    return true;
}

// Every option that takes a value (--worker, the one switch, is read apart).
const std::vector<option_row>& option_table() {
    static const std::vector<option_row> rows = {
        {"--database", "", text(&options::database)},
        {"--read-database", "", text(&options::read_database)},
        {"--verifier", "", text(&options::verifier)},
        {"--trusted-proxy", "an IP address, such as 127.0.0.1", set_trusted_proxy},
        {"--listen", "ADDRESS:PORT (port 0 to 65535)", set_listen},
        {"--public-url", "http:// or https:// and a host (letters, digits, dots and dashes, or [IPv6]), an optional port, no path",
         set_public_url},
        {"--workers", "a whole number from 0 to 256", count(&options::workers, 0, 256)},
        {"--threads", "a whole number from 2 to 4096", count(&options::threads, 2, 4096)},
        {"--connections", "a whole number from 1 to 1000", count(&options::connections, 1, 1000)},
        {"--read-timeout", "a whole number of seconds from 1 to 300", count(&options::read_timeout_s, 1, 300)},
        {"--header-timeout", "a whole number of seconds from 1 to 300", count(&options::header_timeout_s, 1, 300)},
        {"--max-connections", "a whole number from 1 to 1000000", count(&options::max_connections, 1, 1000000)},
        {"--max-connections-per-address", "a whole number from 1 to 1000000", count(&options::max_per_address, 1, 1000000)},
        {"--body-memory", "a whole number of MiB from 1 to 65536", count(&options::body_memory_mib, 1, 65536)},
        {"--verify-cpu-seconds", "a whole number of seconds from 1 to 3600", verify_seconds(&verify_limits::cpu_seconds, 3600)},
        {"--verify-wall-seconds", "a whole number of seconds from 1 to 7200", verify_seconds(&verify_limits::wall_seconds, 7200)},
        {"--verify-attempts", "a whole number from 1 to 100", count(&options::verify_attempts, 1, 100)},
        {"--verify-retry-seconds", "seconds from 0.1 to 3600", amount(&options::verify_retry_s, 0.1, 3600)},
        {"--verify-budget-per-player", "seconds of CPU an hour (0 for no limit)", amount(&options::verify_budget_player_s, 0, 1e6)},
        {"--verify-budget-per-address", "seconds of CPU an hour (0 for no limit)", amount(&options::verify_budget_address_s, 0, 1e6)},
        {"--players-per-address", "a whole number of players an hour (0 for no limit)", count(&options::players_per_address, 0, 1000000)},
        {"--rate-per-address", "a rate a second (0 for none)", amount(&options::address_rate, 0, 1e9)},
        {"--burst-per-address", "a count from 1", amount(&options::address_burst, 1, 1e9)},
        {"--rate-per-token", "a rate a second (0 for none)", amount(&options::token_rate, 0, 1e9)},
        {"--burst-per-token", "a count from 1", amount(&options::token_burst, 1, 1e9)},
        {"--board-exact-top", "a count from 1", count(&options::board_exact_top, 1, 1000000000)},
        {"--board-cache-ms", "a whole number of milliseconds from 0 to 60000 (0: off)", count(&options::board_cache_ms, 0, 60000)},
        {"--refusal-log-seconds", "a whole number of seconds from 1 to 86400", count(&options::refusal_log_s, 1, 86400)},
    };
    return rows;
}

// A configuration file's settings first, so the command line's win.
bool gather_arguments(int argc, char** argv, std::vector<std::string>& args, std::string& error) {
    std::vector<std::string> given;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) != "--config") {
            given.push_back(argv[i]);
        } else if (i + 1 >= argc) {
            error = "--config needs a value";
            return false;
        } else if (!config_arguments(argv[++i], args, error)) {
            return false;
        }
    }
    args.insert(args.end(), given.begin(), given.end());
    return true;
}

bool read_arguments(const std::vector<std::string>& args, options& o, std::string& error) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--worker") {
            o.worker_only = true;
            continue;
        }
        const auto row = std::find_if(option_table().begin(), option_table().end(), [&](const option_row& r) { return a == r.name; });
        if (i + 1 >= args.size()) {
            error = a.rfind("--", 0) == 0 ? a + " needs a value" : "unexpected argument \"" + a + "\"";
            return false;
        }
        const std::string& v = args[++i];
        if (row == option_table().end()) {
            error = "unknown option \"" + a + "\"";
            return false;
        }
        if (!row->set(v.c_str(), o)) {
            error = a + " must be " + row->must_be + ", not \"" + v + "\"";
            return false;
        }
    }
    return true;
}

// A server listens and a worker does not.
bool check_mode(options& o, std::string& error) {
    if (o.database.empty()) {
        error = "--database URL is needed";
        return false;
    }
    if (o.worker_only) {
        if (o.port >= 0 || !o.read_database.empty()) {
            error = "a worker (--worker) neither listens nor reads boards: no --listen or --read-database";
            return false;
        }
        if (o.workers == 0) o.workers = 1;
    } else if (o.port < 0) {
        error = "--listen ADDRESS:PORT is needed";
        return false;
    }
    return true;
}

}  // namespace

std::optional<options> parse_options(int argc, char** argv, std::string& error) {
    std::vector<std::string> args;
    options o;
    if (!gather_arguments(argc, argv, args, error) || !read_arguments(args, o, error) || !check_mode(o, error)) return std::nullopt;
    return o;
}

}  // namespace server
