// The envelope decoder on arbitrary bytes (what the server is sent and
// sends): anything it takes is exactly what encode() writes for the values.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "alignment/alignment.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (const auto e = alignment::decode(bytes); e && alignment::encode(*e) != bytes) {
        std::fprintf(stderr, "envelope: decoded bytes that encode() does not write\n");
        std::abort();
    }
    return 0;
}
