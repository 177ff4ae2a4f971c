#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "server/admin.hpp"
#include "server/process.hpp"
#include "server/options.hpp"
#include "server/store.hpp"

int main(int argc, char** argv) {
    // A database host that does not answer must not hold a request or a
    // start for long; a URL's own connect_timeout still wins.
    setenv("PGCONNECT_TIMEOUT", "3", 0);
    if (argc > 1 && std::string(argv[1]) == "admin") return server::admin_main(std::vector<std::string>(argv + 2, argv + argc));
    // Asked for: the usage on standard output, and success.
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(server::usage_text(), stdout);
            std::fputs(server::admin_usage_text(), stdout);
            return 0;
        }
    }
    std::string error;
    const auto o = server::parse_options(argc, argv, error);
    if (!o) {
        std::fprintf(stderr, "velmora_server: %s\n%s", error.c_str(), server::usage_text());
        return 2;
    }
    server::set_board_exact_top(o->board_exact_top);
    server::boards_cache().configure(std::chrono::milliseconds(o->board_cache_ms), 512);
    return o->worker_only ? server::work(*o) : server::serve(*o);
}
