// Writes a short tagged music file, with a cover picture when one is named,
// for the end-to-end cases (tests/support/tagged_music.hpp does the work).
//   e2e_tagger OUT.flac|OUT.ogg|OUT.mp3 SECONDS TITLE ARTIST ALBUM YEAR [PICTURE]
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iterator>
#include <string>

#include "support/tagged_music.hpp"

int main(int argc, char** argv) {
    if (argc != 7 && argc != 8) {
        std::fprintf(stderr, "usage: e2e_tagger OUT.flac|OUT.ogg|OUT.mp3 SECONDS TITLE ARTIST ALBUM YEAR [PICTURE]\n");
        return 2;
    }
    const std::string out = argv[1];
    const std::string ending = out.size() > 4 ? out.substr(out.size() - 4) : "";
    const test_music::format f = ending == "flac"  ? test_music::format::flac
                                 : ending == ".ogg" ? test_music::format::ogg
                                                    : test_music::format::mp3;
    std::string picture;
    if (argc == 8) {
        std::ifstream in(argv[7], std::ios::binary);
        picture.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (picture.empty()) {
            std::fprintf(stderr, "e2e_tagger: cannot read %s\n", argv[7]);
            return 1;
        }
    }
    try {
        test_music::write_sound(out, f, std::atof(argv[2]), 7);
        test_music::write_tags(out, f,
                               {argv[3], argv[4], argv[5], 1, static_cast<unsigned>(std::atoi(argv[6])), !picture.empty()},
                               picture);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "e2e_tagger: %s\n", e.what());
        return 1;
    }
    return 0;
}
