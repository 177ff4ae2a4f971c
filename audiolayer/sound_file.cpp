#include "audiolayer/sound_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "audiolayer/float_to_int16.hpp"

namespace audiolayer {

std::string not_a_regular_file(unsigned mode) {
    if (S_ISREG(mode)) return {};
    if (S_ISDIR(mode)) return std::strerror(EISDIR);
    const char* kind = S_ISFIFO(mode)  ? "a named pipe"
                       : S_ISCHR(mode) ? "a character device"
                       : S_ISBLK(mode) ? "a block device"
                       : S_ISSOCK(mode) ? "a socket"
                                        : "of another kind";
    return std::string("not a regular file (") + kind + ")";
}

opened_sound_file open_sound_file(const char* path) {
    opened_sound_file r;
    // The type is known before the open, which would wait on a pipe; the
    // descriptor is checked again, as the name may have been replaced.
    struct stat st {};
    if (::stat(path, &st) != 0) {
        r.why = std::strerror(errno);
        return r;
    }
    if (r.why = not_a_regular_file(st.st_mode); !r.why.empty()) return r;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        r.why = std::strerror(errno);
        return r;
    }
    if (::fstat(fd, &st) != 0) {
        r.why = std::strerror(errno);
    } else if (r.why = not_a_regular_file(st.st_mode); r.why.empty() && st.st_size == 0) {
        r.why = "the file is empty";
    }
    if (!r.why.empty()) {
        ::close(fd);
        return r;
    }
    // libsndfile closes the descriptor, also when it cannot decode the file.
    r.file = sf_open_fd(fd, SFM_READ, &r.info, SF_TRUE);
    if (!r.file) {
        r.why = sf_strerror(nullptr);
        r.undecodable = true;
    }
    return r;
}

bool has_floating_samples(int format) {
    const int subtype = format & SF_FORMAT_SUBMASK;
    return subtype == SF_FORMAT_FLOAT || subtype == SF_FORMAT_DOUBLE;
}

block_reader_16::block_reader_16(SNDFILE* file, unsigned channels, bool floating, std::size_t max_frames)
    : file_(file), channels_(channels), floating_(floating), floats_(floating ? max_frames * channels : 0) {}

std::size_t block_reader_16::read(std::int16_t* out, std::size_t frames) {
    sf_count_t got;
    if (floating_) {
        frames = std::min(frames, floats_.size() / std::max<std::size_t>(channels_, 1));
        got = sf_readf_float(file_, floats_.data(), static_cast<sf_count_t>(frames));
        for (std::size_t k = 0; k < static_cast<std::size_t>(std::max<sf_count_t>(got, 0)) * channels_; ++k)
            out[k] = float_to_int16(floats_[k]);
    } else {
        got = sf_readf_short(file_, out, static_cast<sf_count_t>(frames));
    }
    return got > 0 ? static_cast<std::size_t>(got) : 0;
}

}  // namespace audiolayer
