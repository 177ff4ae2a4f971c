#pragma once
#include <cstdint>
#include <string>

// Watching a replay faster or slower than it was played. The speed changes
// only how many of the recorded updates run per drawn frame, never an
// update itself, so the run goes exactly as recorded at any speed. Speeds
// and moments are whole numbers (hundredths of the recorded pace,
// milliseconds), so the pacing never drifts by rounding.
namespace results {

constexpr int watch_speed_slowest = 25;   // 0.25x
constexpr int watch_speed_fastest = 800;  // 8x
constexpr int watch_speed_normal = 100;
// The game's updates per second of play.
constexpr std::uint32_t watch_updates_per_second = 60;

// "4", "0.25", "1.5x": the speed in hundredths; false with why otherwise,
// outside 0.25 to 8 included.
bool parse_watch_speed(const std::string& text, int& hundredths, std::string& why);
// "0.25x", "1.5x", "4x".
std::string watch_speed_text(int hundredths);
// The next of 0.25, 0.5, 1, 2, 4, 8 above or below; the ends stay.
int faster_watch_speed(int hundredths);
int slower_watch_speed(int hundredths);

// "60", "61.5", "1:01.5": a moment of a replay in milliseconds from its first
// update; false with why otherwise.
bool parse_watch_moment(const std::string& text, std::int64_t& ms, std::string& why);
// The update shown at that moment: the last one run by then.
inline std::uint32_t watch_update_at(std::int64_t ms) {
    return static_cast<std::uint32_t>(ms * watch_updates_per_second / 1000);
}
// "1:23.4", as the watching screen shows a moment.
std::string watch_moment_text(std::uint32_t update);

// The updates each drawn frame runs: at 4x four, at 0.25x one in every
// fourth frame; what a frame leaves over carries to the next.
class watch_pacer {
public:
    int updates_this_frame(int hundredths) {
        credit_ += hundredths;
        const int n = credit_ / watch_speed_normal;
        credit_ -= n * watch_speed_normal;
        return n;
    }
    // A pause, a step or a jump starts the count afresh.
    void restart() { credit_ = 0; }

private:
    int credit_ = 0;
};

}  // namespace results
