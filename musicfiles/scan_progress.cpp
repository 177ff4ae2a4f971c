#include "musicfiles/scan_progress.hpp"

namespace musicfiles {
namespace {

// Plain lines into a pipe come this far apart at most.
constexpr std::chrono::seconds plain_line_every{2};
constexpr std::chrono::milliseconds terminal_redraw_every{100};

std::size_t looked_at(const scan_counts& c) { return c.to_read == 0 && c.read == 0 ? c.seen : c.seen - c.to_read + c.read; }

// How the summary counts each reason: one, then many.
const char* counted(skip_reason reason, bool many) {
    switch (reason) {
        case skip_reason::unreadable_folder: return many ? "folders that cannot be read" : "folder that cannot be read";
        case skip_reason::link_loop:
            return many ? "links to a folder already walked (loops)" : "link to a folder already walked (a loop)";
        case skip_reason::broken_link: return many ? "links to nothing" : "link to nothing";
        case skip_reason::not_regular_file:
            return many ? "pipes, devices or sockets named like music" : "pipe, device or socket named like music";
        case skip_reason::vanished: return many ? "files gone while they were scanned" : "file gone while it was scanned";
        case skip_reason::too_deep:
            return many ? "folders too deep below the library folder" : "folder too deep below the library folder";
        case skip_reason::same_file:
            return many ? "other names of files already found" : "other name of a file already found";
        case skip_reason::unreadable_file: return many ? "files that cannot be read" : "file that cannot be read";
        case skip_reason::count: break;
    }
    return "?";
}

}  // namespace

std::string progress_text(const scan_counts& c) {
    const std::size_t files = looked_at(c);
    const long rate = c.seconds > 0 ? static_cast<long>(static_cast<double>(files) / c.seconds + 0.5) : 0;
    char text[256];
    std::snprintf(text, sizeof text, "%zu files, %ld a second; %zu new, %zu changed, %zu moved, %zu missing, %zu skipped",
                  files, rate, c.added, c.changed, c.moved, c.missing, c.skipped_total());
    return text;
}

std::string summary_text(const scan_report& report) {
    const scan_counts& c = report.counts;
    char text[320];
    std::snprintf(text, sizeof text,
                  "%zu music files in %.1f s: %zu new, %zu changed, %zu moved, %zu found again, %zu unchanged, "
                  "%zu missing; %zu skipped\n",
                  c.seen, c.seconds, c.added, c.changed, c.moved, c.found_again, c.unchanged, c.missing,
                  c.skipped_total());
    std::string out = text;
    for (std::size_t r = 0; r < c.skipped.size(); ++r) {
        if (c.skipped[r] == 0) continue;
        const auto reason = static_cast<skip_reason>(r);
        out += "  " + std::to_string(c.skipped[r]) + " " + counted(reason, c.skipped[r] != 1) +
               "\n";
    }
    if (report.names_not_utf8 > 0)
        out += "  " + std::to_string(report.names_not_utf8) + " with names that are not UTF-8 (kept)\n";
    if (report.stopped) out += "stopped: what was scanned is kept; scan again to go on\n";
    return out;
}

scan_progress_printer::scan_progress_printer(std::FILE* out, bool terminal, std::string prefix)
    : out_(out), terminal_(terminal), prefix_(std::move(prefix)) {}

void scan_progress_printer::update(const scan_counts& counts) {
    if (!terminal_) {
        // By the scan's own clock, so a log gets the same lines however
        // often it is called; a scan done within the first interval says
        // nothing here, its summary says it all.
        const double every = static_cast<double>(plain_line_every.count());
        if (counts.seconds < next_plain_) return;
        next_plain_ = (static_cast<long>(counts.seconds / every) + 1) * every;
        shown_ = true;
        std::fprintf(out_, "%sscanning: %s\n", prefix_.c_str(), progress_text(counts).c_str());
        std::fflush(out_);
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (shown_ && now - last_ < terminal_redraw_every) return;
    last_ = now;
    shown_ = true;
    std::fprintf(out_, "\r%sscanning: %s\x1b[K", prefix_.c_str(), progress_text(counts).c_str());
    std::fflush(out_);
}

void scan_progress_printer::finish(const scan_counts& counts) {
    if (terminal_)
        std::fprintf(out_, "\r%sscanned: %s\x1b[K\n", prefix_.c_str(), progress_text(counts).c_str());
    else if (shown_)
        std::fprintf(out_, "%sscanned: %s\n", prefix_.c_str(), progress_text(counts).c_str());
    std::fflush(out_);
}

}  // namespace musicfiles
