#pragma once
#include <chrono>
#include <cstdio>
#include <string>

#include "musicfiles/scan.hpp"

namespace musicfiles {

// "2410 files, 1205 a second; 12 new, 3 changed, 1 moved, 4 missing,
// 2 skipped": the files looked at so far (walked, and read when new or
// changed) and what they were.
std::string progress_text(const scan_counts& counts);

// The end of a scan in a few lines: the counts, then the skipped by reason
// ("  2 links to nothing"), no names (the caller prints those, shown as a
// terminal may show them).
std::string summary_text(const scan_report& report);

// Shows a scan's progress: on a terminal one line rewritten in place at
// most ten times a second; elsewhere (a pipe, a log) a plain line every
// two seconds of the scan, and none for a shorter one. Lines start with
// `prefix` ("velmora_play: ").
class scan_progress_printer {
public:
    scan_progress_printer(std::FILE* out, bool terminal, std::string prefix);
    void update(const scan_counts& counts);
    // The last count, the line ended.
    void finish(const scan_counts& counts);

private:
    std::FILE* out_;
    bool terminal_;
    std::string prefix_;
    std::chrono::steady_clock::time_point last_{};
    bool shown_ = false;
    double next_plain_ = 2;  // seconds into the scan of the next plain line
};

}  // namespace musicfiles
