#pragma once
#include <cstdio>
#include <string>

#include "pattern/pattern_writer.hpp"

namespace converter {

// True when both names lead to one existing file, through links of either
// kind: writing the pattern file there would destroy the source.
bool same_file(const std::string& a, const std::string& b);

// A pattern file under construction. It is written beside its final path
// and renamed over it only when every write, the flush and the close have
// succeeded, so a failed or interrupted conversion never leaves a partial
// file at the path and never harms the file that was there; a signal that
// ends the program (SIGINT, SIGTERM, SIGHUP, SIGXFSZ, unless ignored or
// handled already) removes the temporary file first. A path naming a device
// or a pipe is written directly.
class output_file : public pattern::sink {
public:
    explicit output_file(const std::string& path);
    ~output_file() override;  // an uncommitted file is removed
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;

    // False when the path cannot take a file: it is empty, its folder is
    // missing or not writable, it names a folder, or the file there may not
    // be written or holds something other than a pattern file.
    bool created() const { return file_ != nullptr; }
    void put(const std::uint8_t* bytes, std::size_t count) override;
    // Puts the finished file in place; false when anything failed on the way.
    bool commit();

private:
    void discard();

    std::string path_;
    std::string temporary_;
    std::FILE* file_ = nullptr;
    bool write_failed_ = false;
    bool watching_ = false;  // the signal handler knows temporary_
};

}  // namespace converter
