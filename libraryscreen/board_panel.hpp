#pragma once
#include <SDL.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "libraryscreen/online_calls.hpp"
#include "libraryscreen/song_panel.hpp"
#include "text/text_cache.hpp"

// The highlighted song's world board, loaded on a thread of its own and
// kept a while, so a frame only looks at what is there: the line under the
// list shows the player's rank and the top run beside the keys.
namespace libraryscreen {

class board_panel {
public:
    explicit board_panel(online_calls& calls);
    ~board_panel();
    board_panel(const board_panel&) = delete;
    board_panel& operator=(const board_panel&) = delete;

    // The song the player rests on; loaded unless a fresh answer is kept.
    void want(const std::string& song, ::library::stage_choice stage, std::uint32_t now_ms);
    // What is known of it now; nothing while loading.
    std::optional<song_board> find(const std::string& song, ::library::stage_choice stage) const;
    // Everything read again (a session was sent, the settings changed).
    void forget();

    // The line the list screen shows for a song: rank, top run, versions.
    static std::string summary(const song_board& b, const std::string& player);
    // The lines the song panel shows: the top runs, then the player's own
    // place when it is below them; one line saying why when there is no board.
    static std::vector<world_line> panel_lines(const song_board& b, const std::string& player, std::size_t top);

private:
    void run();
    static std::string key_of(const std::string& song, ::library::stage_choice stage);

    online_calls& calls_;
    mutable std::mutex lock_;
    std::condition_variable woken_;
    struct kept {
        song_board board;
        std::uint32_t at_ms = 0;
    };
    std::map<std::string, kept> cache_;
    std::string wanted_key_, wanted_song_;
    ::library::stage_choice wanted_stage_;
    std::uint32_t now_ms_ = 0;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace libraryscreen
