// velmora_server's command line: each option's bounds and the two modes.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "server/options.hpp"

namespace {

std::optional<server::options> parse(std::vector<std::string> args, std::string& error) {
    args.insert(args.begin(), "velmora_server");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    return server::parse_options(static_cast<int>(argv.size()), argv.data(), error);
}

TEST(ServerOptions, EachOptionTakesItsRangeAndNamesItsFault) {
    const std::vector<std::string> base = {"--database", "db", "--listen", "127.0.0.1:0"};
    const struct {
        std::vector<std::string> more;
        std::string error;  // "" when taken
        std::function<bool(const server::options&)> holds;
    } rows[] = {
        {{}, "", [](const server::options& o) {
             return o.host == "127.0.0.1" && o.port == 0 && o.workers == 0 && o.refusal_log_s == 60 && !o.public_url;
         }},
        {{"--listen", "[::1]:8029"}, "", [](const server::options& o) { return o.host == "[::1]" && o.port == 8029; }},
        {{"--listen", "8029"}, "--listen must be ADDRESS:PORT (port 0 to 65535), not \"8029\"", nullptr},
        {{"--workers", "256", "--threads", "2"}, "", [](const server::options& o) { return o.workers == 256 && o.threads == 2; }},
        {{"--workers", "257"}, "--workers must be a whole number from 0 to 256, not \"257\"", nullptr},
        {{"--threads", "1"}, "--threads must be a whole number from 2 to 4096", nullptr},
        {{"--verify-wall-seconds", "7200", "--verify-cpu-seconds", "1"}, "",
         [](const server::options& o) { return o.verify.wall_seconds == 7200 && o.verify.cpu_seconds == 1; }},
        {{"--verify-cpu-seconds", "3601"}, "--verify-cpu-seconds must be a whole number of seconds from 1 to 3600", nullptr},
        {{"--verify-retry-seconds", "0.05"}, "--verify-retry-seconds must be seconds from 0.1 to 3600", nullptr},
        {{"--rate-per-token", "0", "--burst-per-token", "1.5"}, "",
         [](const server::options& o) { return o.token_rate == 0 && o.token_burst == 1.5; }},
        {{"--burst-per-address", "0"}, "--burst-per-address must be a count from 1", nullptr},
        {{"--board-cache-ms", "60001"}, "--board-cache-ms must be a whole number of milliseconds from 0 to 60000", nullptr},
        {{"--refusal-log-seconds", "5"}, "", [](const server::options& o) { return o.refusal_log_s == 5; }},
        {{"--refusal-log-seconds", "0"}, "--refusal-log-seconds must be a whole number of seconds from 1 to 86400", nullptr},
        {{"--trusted-proxy", "127.000.0.1"}, "--trusted-proxy must be an IP address", nullptr},
        {{"--public-url", "HTTPS://Boards.Example:8443/"}, "",
         [](const server::options& o) { return o.public_url && o.public_url->text() == "https://boards.example:8443"; }},
        {{"--public-url", "http://[::1]"}, "",
         [](const server::options& o) { return o.public_url && o.public_url->host == "[::1]" && o.public_url->port == 80; }},
        {{"--public-url", "ftp://boards.example"}, "--public-url must be http:// or https://", nullptr},
        {{"--public-url", "https://boards.example/boards"}, "--public-url must be http:// or https://", nullptr},
        {{"--public-url", "https://boards.example//"}, "--public-url must be http:// or https://", nullptr},
        {{"--public-url", "https://user@boards.example"}, "--public-url must be http:// or https://", nullptr},
        {{"--public-url", "https://boards.example\"><b>"}, "--public-url must be http:// or https://", nullptr},
        {{"--public-url", "https://boards.example'"}, "--public-url must be http:// or https://", nullptr},
        {{"--public-url", "https://boards.example:0"}, "--public-url must be http:// or https://", nullptr},
        {{"--public-url", "https://:8443"}, "--public-url must be http:// or https://", nullptr},
        {{"--workers", "2x"}, "--workers must be a whole number", nullptr},
        {{"--workers"}, "--workers needs a value", nullptr},
        {{"stray"}, "unexpected argument \"stray\"", nullptr},
        {{"--wokers", "2"}, "unknown option \"--wokers\"", nullptr},
        {{"--worker"}, "a worker (--worker) neither listens nor reads boards", nullptr},
    };
    for (const auto& row : rows) {
        std::vector<std::string> args = base;
        args.insert(args.end(), row.more.begin(), row.more.end());
        std::string error;
        const auto o = parse(args, error);
        const std::string what = row.more.empty() ? "(none)" : row.more[0];
        if (row.error.empty()) {
            ASSERT_TRUE(o) << what << ": " << error;
            EXPECT_TRUE(row.holds(*o)) << what;
        } else {
            EXPECT_FALSE(o) << what;
            EXPECT_EQ(error.rfind(row.error, 0), 0u) << what << ": " << error;
        }
    }
    std::string error;
    const auto worker = parse({"--worker", "--database", "db"}, error);
    ASSERT_TRUE(worker) << error;
    EXPECT_TRUE(worker->worker_only);
    EXPECT_EQ(worker->workers, 1);
    EXPECT_FALSE(parse({"--listen", "127.0.0.1:0"}, error));
    EXPECT_EQ(error, "--database URL is needed");
    EXPECT_FALSE(parse({"--database", "db"}, error));
    EXPECT_EQ(error, "--listen ADDRESS:PORT is needed");
}

}  // namespace
