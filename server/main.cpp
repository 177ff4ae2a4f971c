#include <cstdio>
#include <cstdlib>

#include "server/api.hpp"
#include "server/options.hpp"

int main(int argc, char** argv) {
    // A database host that does not answer must not hold a request or a
    // start for long; a URL's own connect_timeout still wins.
    setenv("PGCONNECT_TIMEOUT", "3", 0);
    std::string error;
    const auto o = server::parse_options(argc, argv, error);
    if (!o) {
        std::fprintf(stderr, "velmora_server: %s\n%s", error.c_str(), server::usage_text());
        return 2;
    }
    return o->worker_only ? server::work(*o) : server::serve(*o);
}
