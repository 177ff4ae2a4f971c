// golden_stages: writes the dynamics edition's golden stage digests
// (tools/measure/golden_stages.hpp), to FILE or to standard output.
//   golden_stages [FILE]
#include <cstdio>
#include <string>

#include "tools/measure/golden_stages.hpp"

int main(int argc, char** argv) {
    if (argc > 2) {
        std::fprintf(stderr, "usage: golden_stages [FILE]\n");
        return 2;
    }
    const std::string text = golden_stages::digest_text();
    std::FILE* out = argc == 2 ? std::fopen(argv[1], "w") : stdout;
    if (!out) {
        std::perror(argv[1]);
        return 1;
    }
    const bool ok = std::fputs(text.c_str(), out) >= 0;
    return (argc == 2 ? std::fclose(out) == 0 : std::fflush(out) == 0) && ok ? 0 : 1;
}
