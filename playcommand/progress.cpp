#include "playcommand/progress.hpp"

#include "playcommand/song_table.hpp"
#include "vaz/clock_text.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace playcommand {
namespace {

std::string base_name(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string percent(double fraction) {
    char text[8];
    std::snprintf(text, sizeof text, "%3d%%", static_cast<int>(std::floor(std::clamp(fraction, 0.0, 1.0) * 100)));
    return text;
}

// Cut from the left so the end of a long name, which tells songs apart, stays.
std::string fit(const std::string& text, int width) {
    if (width <= 0) return {};
    if (static_cast<int>(text.size()) <= width) return text;
    if (width <= 3) return text.substr(text.size() - static_cast<std::size_t>(width));
    return "..." + text.substr(text.size() - static_cast<std::size_t>(width - 3));
}

double seconds_between(progress_display::clock::time_point a, progress_display::clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// Time left from the time spent and the share done; nothing until the share
// says something.
std::string estimate(double elapsed, double fraction) {
    if (fraction < 0.01 || elapsed < 0.5) return "";
    if (fraction >= 1) return "";
    return progress_display::time_left(elapsed * (1 - fraction) / fraction);
}

}  // namespace

progress_display::progress_display(std::FILE* out, bool terminal, std::size_t songs)
    : out_(out), terminal_(terminal), songs_(songs) {}

progress_display::~progress_display() {
    std::lock_guard<std::mutex> g(lock_);
    erase_bars();
    std::fflush(out_);
}

std::string progress_display::bar(double fraction, int width) {
    if (width < 2) return "";
    const int inside = width - 2;
    const int filled = static_cast<int>(std::floor(std::clamp(fraction, 0.0, 1.0) * inside));
    return "[" + std::string(static_cast<std::size_t>(filled), '#') + std::string(static_cast<std::size_t>(inside - filled), '.') + "]";
}

std::string progress_display::time_left(double seconds) { return vaz::clock_text(seconds) + " left"; }

int progress_display::terminal_width() const {
    winsize ws{};
    if (::ioctl(fileno(out_), TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 20) return ws.ws_col;
    return 80;
}

void progress_display::started(std::size_t song, const std::string& name) {
    std::lock_guard<std::mutex> g(lock_);
    active_.push_back({song, printable(name), 0.0, clock::now(), 0});
    if (terminal_) {
        redraw(true);
    } else {
        std::fprintf(out_, "velmora_play: preparing \"%s\"\n", active_.back().name.c_str());
        std::fflush(out_);
    }
}

void progress_display::advanced(std::size_t song, double fraction) {
    std::lock_guard<std::mutex> g(lock_);
    for (active_song& a : active_) {
        if (a.song != song) continue;
        a.fraction = std::clamp(fraction, a.fraction, 1.0);
        if (!terminal_) {
            const int quarters = static_cast<int>(a.fraction * 4);
            if (quarters > a.quarters_said && quarters < 4) {
                a.quarters_said = quarters;
                std::fprintf(out_, "velmora_play: \"%s\": %d%%\n", a.name.c_str(), quarters * 25);
                std::fflush(out_);
            }
        }
    }
    if (terminal_) redraw(false);
}

void progress_display::finished(std::size_t song, const std::string& line) {
    std::lock_guard<std::mutex> g(lock_);
    active_.erase(std::remove_if(active_.begin(), active_.end(), [&](const active_song& a) { return a.song == song; }),
                  active_.end());
    ++done_;
    print_above_bars(line);
}

void progress_display::note(const std::string& line) {
    std::lock_guard<std::mutex> g(lock_);
    print_above_bars(line);
}

void progress_display::print_above_bars(const std::string& text) {
    erase_bars();
    // The text may join several lines; they only scroll, so a line break
    // does no harm, but an escape sequence in a name must not reach the
    // terminal.
    std::string shown;
    for (std::size_t at = 0; at <= text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        shown += printable(text.substr(at, end - at)) + "\n";
        at = end + 1;
    }
    std::fputs(shown.c_str(), out_);
    if (terminal_) redraw(true);
    std::fflush(out_);
}

void progress_display::erase_bars() {
    if (!terminal_ || lines_drawn_ == 0) return;
    // Up to the first bar's line, then clear to the end of the screen.
    std::fprintf(out_, "\r\x1b[%dA\x1b[J", lines_drawn_);
    lines_drawn_ = 0;
}

std::string progress_display::overall_line(clock::time_point now) const {
    double fraction = static_cast<double>(done_);
    for (const active_song& a : active_) fraction += a.fraction;
    fraction = songs_ == 0 ? 1.0 : fraction / static_cast<double>(songs_);
    const std::string head = "all " + std::to_string(done_) + " of " + std::to_string(songs_) + " ";
    const std::string tail = " " + percent(fraction) + "  " + estimate(seconds_between(start_, now), fraction);
    const int room = terminal_width() - 1 - static_cast<int>(head.size() + tail.size());
    return head + bar(fraction, std::min(40, room)) + tail;
}

void progress_display::redraw(bool force) {
    const clock::time_point now = clock::now();
    if (!force && now - last_draw_ < std::chrono::milliseconds(100)) return;
    last_draw_ = now;
    erase_bars();
    const int width = terminal_width() - 1;
    std::string text;
    for (const active_song& a : active_) {
        const std::string head = percent(a.fraction) + " ";
        const std::string left = estimate(seconds_between(a.since, now), a.fraction);
        const std::string tail = " " + (left.empty() ? std::string(9, ' ') : left) + "  ";
        const int bar_width = std::min(30, std::max(0, width - static_cast<int>(head.size() + tail.size()) - 10));
        const std::string start = head + bar(a.fraction, bar_width) + tail;
        text += start + fit(base_name(a.name), width - static_cast<int>(start.size())) + "\n";
        ++lines_drawn_;
    }
    if (songs_ > 1) {
        text += overall_line(now).substr(0, static_cast<std::size_t>(std::max(0, width))) + "\n";
        ++lines_drawn_;
    }
    std::fputs(text.c_str(), out_);
    std::fflush(out_);
}

}  // namespace playcommand
