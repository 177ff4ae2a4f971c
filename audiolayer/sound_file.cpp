#include "audiolayer/sound_file.hpp"

#include <unistd.h>

#include <algorithm>

#include "audiolayer/float_to_int16.hpp"
#include "audiolayer/regular_file.hpp"

namespace audiolayer {

opened_sound_file open_sound_file(const char* path) {
    opened_sound_file r;
    const regular_file found = open_regular_file(path);
    r.why = found.fd >= 0 && found.size == 0 ? "the file is empty" : found.why;
    if (!r.why.empty()) {
        if (found.fd >= 0) ::close(found.fd);
        return r;
    }
    // libsndfile closes the descriptor, also when it cannot decode the file.
    r.file = sf_open_fd(found.fd, SFM_READ, &r.info, SF_TRUE);
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
