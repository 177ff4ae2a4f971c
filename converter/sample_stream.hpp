#pragma once
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "audiolayer/decode.hpp"
#include "converter/wave_sample.hpp"

namespace converter {

// Where a conversion's samples come from, block by block and once: a file
// being decoded, or values already in memory. Frames are interleaved signed
// 16-bit values of all the source's channels.
class sample_stream {
public:
    virtual ~sample_stream() = default;
    virtual std::uint32_t rate() const = 0;
    virtual unsigned channels() const = 0;
    // The frames it delivers in all, or 0 while that is known only at its end.
    virtual std::uint64_t frames() const = 0;
    // Up to `count` frames into out, fewer only at the end; 0 at the end.
    // Throws source_failed when the source turns out unreadable on the way.
    virtual std::size_t read(std::int16_t* out, std::size_t count) = 0;
};

// The source turned out damaged, cut short or empty while it was read: a
// failed load that showed only then.
struct source_failed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A source already in memory, read from its start.
class memory_stream : public sample_stream {
public:
    explicit memory_stream(const wave_sample& source) : source_(source) {}
    std::uint32_t rate() const override { return source_.info.freq; }
    unsigned channels() const override { return source_.info.chans; }
    std::uint64_t frames() const override { return source_.frame_count(); }
    std::size_t read(std::int16_t* out, std::size_t count) override;

private:
    const wave_sample& source_;
    std::size_t next_ = 0;  // frames delivered
};

// A file decoded as it is read (audiolayer::decode's streams): only a block
// of it is ever in memory. Constructing it opens the file; a file that cannot
// be opened or fails sample_load's checks sets `failed`. The audio layer
// must be initialised for as long as it lives.
class decoded_stream : public sample_stream {
public:
    explicit decoded_stream(const char* path);
    ~decoded_stream() override;
    decoded_stream(const decoded_stream&) = delete;
    decoded_stream& operator=(const decoded_stream&) = delete;

    bool failed() const { return handle_ == 0; }
    std::uint32_t rate() const override { return info_.freq; }
    unsigned channels() const override { return info_.chans; }
    std::uint64_t frames() const override;
    std::size_t read(std::int16_t* out, std::size_t count) override;

private:
    audiolayer::decode::handle handle_ = 0;
    audiolayer::decode::stream_info info_{};
};

}  // namespace converter
