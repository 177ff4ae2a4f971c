#pragma once
#include <SDL.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "libraryscreen/cover_art.hpp"
#include "libraryscreen/library_calls.hpp"
#include "text/text_cache.hpp"

namespace libraryscreen {

// A line of the world board shown under the bests: the rank and player, and
// the run's figures.
struct world_line {
    std::string left, right;
    bool you = false;  // the player's own, marked
    bool operator==(const world_line& o) const { return left == o.left && right == o.right && you == o.you; }
};

// Beside the list, the highlighted song: its cover art, title, artist,
// album, year and length, and its best run in every edition and difficulty
// played, the chosen one marked (and shown with "-" when it has none). The
// facts and the cover are read on a thread of the panel's own, so a frame
// never waits for a file or the database; until they are read the row's
// title shows.
class song_panel {
public:
    static constexpr int cover_size = 120;

    song_panel(library_calls& calls, text::text_cache& text, SDL_Rect area);
    ~song_panel();
    song_panel(const song_panel&) = delete;
    song_panel& operator=(const song_panel&) = delete;

    // The song to show ("" for none) and its row's title.
    void show(const std::string& path, const std::string& title);
    // Reads the song shown again: a run of it was kept.
    void reload();
    // Draws the panel when what it shows changed, or always with
    // `everything`; whether it drew. `world`, with a scoreboard server set:
    // the song's world board under its bests.
    bool draw(SDL_Surface* target, ::library::stage_choice stage, bool everything,
              const std::vector<world_line>& world = {});
    // A line above the keys' hint ("Ghost: your best"); "" for none.
    void set_ghost_note(std::string note) { ghost_note_ = std::move(note); }
    // The shown song's facts and cover have been read.
    bool settled();
    // Where the cover is drawn, in the target's pixels (when there is one).
    SDL_Rect cover_box() const;

private:
    struct reading {
        std::uint64_t generation = 0;
        std::string path;
        song_facts facts;
        owned_surface cover;
    };
    void work();
    void ask(const std::string& path);

    library_calls& calls_;
    text::text_cache& text_;
    SDL_Rect area_;

    // Main thread.
    std::string path_, title_;
    std::uint64_t generation_ = 0;  // of the song last asked for
    std::optional<reading> shown_;  // the facts drawn, of path_ once read
    std::string drawn_key_;
    std::vector<world_line> drawn_world_;
    std::string ghost_note_;

    std::mutex mutex_;
    std::condition_variable wake_;
    bool quit_ = false;
    std::optional<std::pair<std::uint64_t, std::string>> asked_;
    std::optional<reading> answer_;
    bool working_ = false;
    std::thread worker_;
};

}  // namespace libraryscreen
