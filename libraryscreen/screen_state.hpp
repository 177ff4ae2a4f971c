#pragma once
#include <string>

#include "game/ghost.hpp"
#include "libraryscreen/background_scan.hpp"
#include "libraryscreen/index_source.hpp"
#include "libraryscreen/library_calls.hpp"
#include "preview/preview.hpp"
#include "songlist/list_view.hpp"
#include "text/text_cache.hpp"
#include "userfiles/settings.hpp"

namespace libraryscreen {

// The ghost of the next song played, chosen on the list (Ctrl+G cycles
// none, best, top) or on the board screen (G on a run: chosen).
enum class ghost_pick { none, best, top, chosen };

class online_calls;
class board_panel;
class song_panel;

// What every screen of the program shares while its window is open.
struct screen_state {
    library_calls& calls;
    userfiles::settings settings;
    text::text_cache& text;
    index_source& source;
    songlist::list_view& list;
    preview::player& preview;
    scanner& scans;
    std::string status;   // the keys' line shows it instead of the keys until the next move
    std::string trouble;  // what failed (the library, a scan, the list): the keys' line keeps showing it
    bool quit = false;    // the window was closed
    bool failed = false;  // something failed that a command would end with status 1 for
    online_calls* online = nullptr;  // the scoreboard server's side; offline when it has no server
    board_panel* boards = nullptr;
    song_panel* panel = nullptr;  // beside the list, when it shows one
    // The edition and difficulty played and listed, parsed once from the
    // settings and the command line; settings keeps their names, saved.
    ::library::stage_choice stage;
    ghost_request ghost;          // raced in every run played (--ghost), or the board's run G chose
    ghost_pick pick = ghost_pick::none;  // what races in the next song played
    std::string ghost_song;       // ghost_pick::chosen: the song whose board it came from
};

}  // namespace libraryscreen
