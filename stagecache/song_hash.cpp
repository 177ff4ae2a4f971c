#include "stagecache/song_hash.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

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
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        error = std::strerror(EISDIR);
        return false;
    }
    std::unique_ptr<XXH3_state_t, XXH_errorcode (*)(XXH3_state_t*)> state(XXH3_createState(), XXH3_freeState);
    if (!state || XXH3_128bits_reset(state.get()) != XXH_OK) {
        ::close(fd);
        error = "out of memory";
        return false;
    }
    std::vector<unsigned char> buffer(1 << 20);
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            error = std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (got == 0) break;
        XXH3_128bits_update(state.get(), buffer.data(), static_cast<std::size_t>(got));
    }
    ::close(fd);
    const XXH128_hash_t h = XXH3_128bits_digest(state.get());
    out = {h.high64, h.low64};
    return true;
}

}  // namespace stagecache
