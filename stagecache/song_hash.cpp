#include "stagecache/song_hash.hpp"

#include <xxhash.h>

#include "vaz/files.hpp"

namespace stagecache {

std::string song_hash::hex() const {
    static const char digits[] = "0123456789abcdef";
    std::string s(32, '0');
    for (int i = 0; i < 16; ++i) {
        s[15 - i] = digits[(high >> (4 * i)) & 0xf];
        s[31 - i] = digits[(low >> (4 * i)) & 0xf];
    }
    return s;
}

song_hash hash_bytes(const void* bytes, std::size_t count) {
    const XXH128_hash_t h = XXH3_128bits(bytes, count);
    return {h.high64, h.low64};
}

bool hash_file(const std::string& path, song_hash& out, std::string& error) {
    vaz::hash_128 h;
    if (!vaz::hash_file(path, h, error)) return false;
    out = {h.high, h.low};
    return true;
}

}  // namespace stagecache
