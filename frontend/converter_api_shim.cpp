// TEMPORARY, see converter_api_shim.hpp.
#include "frontend/converter_api_shim.hpp"

#include <cstdio>
#include <ostream>
#include <streambuf>

#include "audiolayer/decode.hpp"

namespace converter {
namespace {

// Turns today's progress lines ("S / N : G / 2") into progress calls.
class progress_lines : public std::streambuf {
public:
    explicit progress_lines(const progress_fn& progress) : progress_(progress) {}

protected:
    int_type overflow(int_type c) override {
        if (c == traits_type::eof()) return traits_type::not_eof(c);
        if (c == '\n') {
            unsigned second = 0, seconds = 0, group = 0;
            if (std::sscanf(line_.c_str(), "%u / %u : %u", &second, &seconds, &group) == 3 && progress_)
                progress_(group - 1, second - 1, seconds);
            line_.clear();
        } else {
            line_ += static_cast<char>(c);
        }
        return c;
    }

private:
    const progress_fn& progress_;
    std::string line_;
};

}  // namespace

void write_pattern(const wave_sample& source, edition ed, pattern::sink& out, const progress_fn& progress,
                   unsigned) {
    progress_lines lines(progress);
    std::ostream stream(&lines);
    console con(stream, console_encoding::utf8);
    write_pattern(source, ed, out, con);
}

std::unique_ptr<wave_sample> load_at_converter_rate(const std::string& path, source_facts* facts,
                                                    std::string* error) {
    auto source = std::make_unique<wave_sample>(path.c_str());
    if (source->failed) {
        std::string why = audiolayer::decode::last_error();
        const std::string prefix = path + ": ";
        if (why.compare(0, prefix.size(), prefix) == 0) why.erase(0, prefix.size());
        if (error) *error = why;
        return nullptr;
    }
    if (facts) {
        facts->rate = source->info.freq;
        facts->channels = source->info.chans;
        facts->frames = source->frame_count();
        facts->seconds = static_cast<double>(facts->frames) / source->info.freq;
    }
    if (source->info.freq != sample_rate) {
        if (error) *error = "sampled at " + std::to_string(source->info.freq) + " Hz; only 44100 Hz can be converted yet";
        return nullptr;
    }
    return source;
}

}  // namespace converter
