#include "converter/sample_stream.hpp"

#include <algorithm>
#include <climits>
#include <cstring>

namespace converter {

std::size_t memory_stream::read(std::int16_t* out, std::size_t count) {
    const std::size_t n = std::min(count, source_.frame_count() - next_);
    const std::size_t chans = source_.info.chans;
    if (n > 0) std::memcpy(out, source_.data.get() + next_ * chans, n * chans * sizeof(std::int16_t));
    next_ += n;
    return n;
}

decoded_stream::decoded_stream(const char* path) {
    handle_ = audiolayer::decode::stream_open(path);
    if (handle_ != 0 && (!audiolayer::decode::stream_get_info(handle_, &info_) || info_.chans == 0)) {
        audiolayer::decode::sample_free(handle_);
        handle_ = 0;
    }
}

decoded_stream::~decoded_stream() {
    if (handle_ != 0) audiolayer::decode::sample_free(handle_);
}

std::uint64_t decoded_stream::frames() const {
    audiolayer::decode::stream_info now{};
    return handle_ != 0 && audiolayer::decode::stream_get_info(handle_, &now) ? now.frames : 0;
}

std::size_t decoded_stream::read(std::int16_t* out, std::size_t count) {
    if (handle_ == 0) throw source_failed("no stream");
    std::size_t done = 0;
    while (done < count) {
        const auto want = static_cast<std::uint32_t>(std::min<std::size_t>(count - done, UINT32_MAX / 2));
        const long long got = audiolayer::decode::stream_read(handle_, out + done * info_.chans, want);
        if (got < 0) throw source_failed(audiolayer::decode::last_error());
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

}  // namespace converter
