// Run: <build folder>/bench/decode_only FILE
// Decodes FILE to 16-bit values exactly as velmora_bc reads it (the decoding
// layer's stream, a second at a time into one reused buffer) and does
// nothing else: the "decoding alone" that scripts/converter_vs_decoding.sh
// sets velmora_bc's time beside. Prints the frames decoded; exit 1 when the
// file cannot be decoded.
#include <cstdio>
#include <vector>

#include "converter/sample_stream.hpp"
#include "vaz/xbass.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: decode_only FILE\n");
        return 2;
    }
    vaz::xbass<audiolayer::decode::layer> audio;
    converter::decoded_stream source(argv[1]);
    if (source.failed()) {
        std::fprintf(stderr, "decode_only: %s\n", audiolayer::decode::last_error());
        return 1;
    }
    std::vector<std::int16_t> second(static_cast<std::size_t>(source.rate()) * source.channels());
    unsigned long long frames = 0;
    try {
        for (std::size_t got; (got = source.read(second.data(), source.rate())) != 0;) frames += got;
    } catch (const converter::source_failed& e) {
        std::fprintf(stderr, "decode_only: %s\n", e.what());
        return 1;
    }
    std::printf("%llu frames\n", frames);
    return 0;
}
