#include "vaz/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "audiolayer/regular_file.hpp"

namespace vaz {

namespace {

bool write_all(int fd, const std::uint8_t* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t done = ::write(fd, bytes, count);
        if (done < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += done;
        count -= static_cast<std::size_t>(done);
    }
    return true;
}

}  // namespace

replace_result replace_file(const std::string& path, std::string temporary_template, const std::uint8_t* bytes,
                            std::size_t size, mode_t mode) {
    // Close-on-exec: a program started meanwhile must not hold it open.
    const int fd = ::mkostemp(temporary_template.data(), O_CLOEXEC);
    if (fd < 0) return {replace_step::create, errno};
    int failure = 0;  // errno of the first step that failed
    auto step = [&](bool done) {
        if (!done && failure == 0) failure = errno ? errno : EIO;
    };
    step(write_all(fd, bytes, size));
    // mkostemp gives 0600.
    if (failure == 0) step(::fchmod(fd, mode) == 0);
    // On disk before it gets its name, so a crash leaves the old file or the
    // new one, never a name over missing data.
    if (failure == 0) step(::fsync(fd) == 0);
    step(::close(fd) == 0);
    if (failure == 0) step(std::rename(temporary_template.c_str(), path.c_str()) == 0);
    if (failure != 0) {
        ::unlink(temporary_template.c_str());
        return {replace_step::write, failure};
    }
    // The rename itself on disk too, so after a crash the name does not fall
    // back to the old file. The new file is in place either way: a folder
    // that cannot be synced is no failure of the write.
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return {};
}

std::string hash_128::hex() const {
    static const char digits[] = "0123456789abcdef";
    std::string s(32, '0');
    for (int i = 0; i < 16; ++i) {
        s[15 - i] = digits[(high >> (4 * i)) & 0xf];
        s[31 - i] = digits[(low >> (4 * i)) & 0xf];
    }
    return s;
}

hash_128 hash_bytes(const void* bytes, std::size_t count) {
    const XXH128_hash_t h = XXH3_128bits(bytes, count);
    return {h.low64, h.high64};
}

bool hash_file(const std::string& path, hash_128& out, std::string& error) {
    const audiolayer::regular_file file = audiolayer::open_regular_file(path.c_str());
    if (file.fd < 0) {
        error = file.why;
        return false;
    }
    const int fd = file.fd;
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
    out = {h.low64, h.high64};
    return true;
}

}  // namespace vaz
