#include "musicfiles/scan_progress.hpp"

#include <gtest/gtest.h>

#include <cstdio>

using namespace musicfiles;

namespace {

std::string printed(bool terminal, const std::vector<scan_counts>& updates) {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    {
        scan_progress_printer p(out, terminal, "velmora_play: ");
        for (const scan_counts& c : updates) p.update(c);
        p.finish(updates.back());
    }
    std::fclose(out);
    std::string s(text, size);
    std::free(text);
    return s;
}

}  // namespace

TEST(ScanProgress, LineCountsFilesPerSecondAndChanges) {
    scan_counts walking;
    walking.seen = 3000;
    walking.seconds = 2.0;
    EXPECT_EQ(progress_text(walking), "3000 files, 1500 a second; 0 new, 0 changed, 0 moved, 0 missing, 0 skipped");
    // While reading, the files looked at are the unchanged ones and those read.
    scan_counts reading = walking;
    reading.to_read = 1000;
    reading.read = 400;
    reading.added = 390;
    reading.changed = 10;
    reading.missing = 4;
    reading.moved = 1;
    reading.skipped[static_cast<std::size_t>(skip_reason::link_loop)] = 2;
    reading.seconds = 4.0;
    EXPECT_EQ(progress_text(reading), "2400 files, 600 a second; 390 new, 10 changed, 1 moved, 4 missing, 2 skipped");
}

TEST(ScanProgress, TerminalRewritesOneLinePipeGetsPlainLines) {
    scan_counts c;
    c.seen = 10;
    c.seconds = 1;
    const std::string terminal = printed(true, {c, c, c});
    // Updates within a tenth of a second are not drawn; the end is.
    EXPECT_EQ(terminal,
              "\rvelmora_play: scanning: 10 files, 10 a second; 0 new, 0 changed, 0 moved, 0 missing, 0 skipped\x1b[K"
              "\rvelmora_play: scanned: 10 files, 10 a second; 0 new, 0 changed, 0 moved, 0 missing, 0 skipped\x1b[K\n");
    // A pipe: a line every two seconds of the scan, none for a short one.
    EXPECT_EQ(printed(false, {c, c}), "");
    scan_counts later = c, much_later = c;
    later.seconds = 2.5;
    much_later.seconds = 4.0;
    EXPECT_EQ(printed(false, {c, later, later, much_later}),
              "velmora_play: scanning: 10 files, 4 a second; 0 new, 0 changed, 0 moved, 0 missing, 0 skipped\n"
              "velmora_play: scanning: 10 files, 3 a second; 0 new, 0 changed, 0 moved, 0 missing, 0 skipped\n"
              "velmora_play: scanned: 10 files, 3 a second; 0 new, 0 changed, 0 moved, 0 missing, 0 skipped\n");
}

TEST(ScanProgress, SummaryNamesEachReasonOnce) {
    scan_report r;
    r.counts.seen = 5;
    r.counts.added = 4;
    r.counts.seconds = 0.25;
    r.counts.skipped[static_cast<std::size_t>(skip_reason::broken_link)] = 2;
    r.counts.skipped[static_cast<std::size_t>(skip_reason::not_regular_file)] = 1;
    r.names_not_utf8 = 1;
    r.stopped = true;
    EXPECT_EQ(summary_text(r),
              "5 music files in 0.2 s: 4 new, 0 changed, 0 moved, 0 found again, 0 unchanged, 0 missing; 3 skipped\n"
              "  2 links to nothing\n"
              "  1 pipe, device or socket named like music\n"
              "  1 with names that are not UTF-8 (kept)\n"
              "stopped: what was scanned is kept; scan again to go on\n");
}
