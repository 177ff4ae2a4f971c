// Writes a folder of generated tagged music files, to scan by hand:
//   make_music_folder FOLDER [COUNT, default 1000]
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "music_folder.hpp"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s FOLDER [COUNT]\n", argv[0]);
        return 2;
    }
    const std::size_t count = argc == 3 ? std::strtoul(argv[2], nullptr, 10) : 1000;
    try {
        music_bench::make_music_folder(argv[1], 0, count, [](std::size_t n) { std::fprintf(stderr, "%zu files\r", n); });
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_music_folder: %s\n", e.what());
        return 1;
    }
    std::printf("%zu files in %s\n", count, argv[1]);
    return 0;
}
