#pragma once
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace playcommand {

// Progress of preparing songs, several at once, from any thread. On a
// terminal: a bar per song being prepared and one for all of them, with the
// time left, redrawn in place at most ten times a second, and the finished
// songs' lines scrolling above. Elsewhere (a pipe, a log file): plain lines,
// one when a song starts, at each quarter and when it ends.
class progress_display {
public:
    using clock = std::chrono::steady_clock;

    progress_display(std::FILE* out, bool terminal, std::size_t songs);
    ~progress_display();  // takes the bars off the terminal
    progress_display(const progress_display&) = delete;
    progress_display& operator=(const progress_display&) = delete;

    void started(std::size_t song, const std::string& name);
    void advanced(std::size_t song, double fraction);  // 0 to 1 of this song's work
    // The song is done; `line` says how it went (printed as it is, but for
    // control characters, which names may hold).
    void finished(std::size_t song, const std::string& line);
    // A line of its own, between the bars and what scrolls above.
    void note(const std::string& line);

    // Text of a bar `width` cells wide, and "1:05 left" style times; public
    // for the tests.
    static std::string bar(double fraction, int width);
    static std::string time_left(double seconds);

private:
    struct active_song {
        std::size_t song;
        std::string name;
        double fraction;
        clock::time_point since;
        int quarters_said;
    };

    void redraw(bool force);
    void erase_bars();
    // Lines that scroll above the bars, which are drawn again under them;
    // called with the lock held.
    void print_above_bars(const std::string& text);
    std::string overall_line(clock::time_point now) const;
    int terminal_width() const;

    std::FILE* out_;
    bool terminal_;
    std::size_t songs_;
    std::size_t done_ = 0;
    std::vector<active_song> active_;
    clock::time_point start_ = clock::now();
    clock::time_point last_draw_{};
    int lines_drawn_ = 0;
    std::mutex lock_;
};

}  // namespace playcommand
