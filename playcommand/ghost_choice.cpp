#include "playcommand/ghost_choice.hpp"

#include <memory>
#include <optional>

#include "library/play_session.hpp"
#include "library/song_library.hpp"
#include "playcommand/run_link.hpp"
#include "results/ghost_check.hpp"
#include "userfiles/user_dirs.hpp"
#include "vaz/files.hpp"

namespace playcommand {
namespace {

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

std::string stage_words(const stage_named& s) { return "the " + s.edition + " edition at " + s.difficulty; }

ghost_choice fail(std::string why) {
    ghost_choice c;
    c.why = std::move(why);
    return c;
}

ghost_choice own_best(const stage_named& stage, const std::string& library_path) {
    library::best_replay best;
    try {
        if (!library_path.empty() && library::song_library::exists(library_path)) {
            library::song_library known(library_path, false);
            const auto choice = library::stage_choice::from_names(stage.edition, stage.difficulty);
            if (!choice) return fail("no edition and difficulty known as " + stage_words(stage));
            best = library::find_best_replay(known, stage.song_hash, *choice);
        }
    } catch (const library::library_error& e) {
        return fail(e.what());
    }
    if (!best.best)
        return fail("no finished run of " + quoted(stage.song) + " in " + stage_words(stage) + " to race; play it first");
    if (best.file.empty())
        return fail("the best run of " + quoted(stage.song) + " in " + stage_words(stage) + " cannot be raced: " +
                    (best.best->replay.empty() ? std::string("no replay of it is kept") : best.why_not));
    return {{}, best.file, "your best", static_cast<int>(best.best->run)};
}

// The board's first run, its replay kept under download_dir by its session.
ghost_choice board_top(const stage_named& stage, const std::string& download_dir, const std::string& server,
                       const std::string& token) {
    if (server.empty())
        return fail("--ghost top races the board's first run, and no scoreboard server is set; set one with: "
                    "velmora_play --online URL --player NAME");
    vaz::hash_128 hash;
    std::string why;
    if (!vaz::hash_file(stage.path, hash, why)) return fail("cannot read the stage " + quoted(stage.path) + ": " + why);
    const online::client client(server, token);
    const online::board b = client.get_board(hash.hex(), stage.edition, stage.difficulty, 1);
    if (!b.how.ok) return fail("cannot read the board of " + quoted(stage.song) + ": " + b.how.message);
    if (b.entries.empty())
        return fail("the board of " + quoted(stage.song) + " in " + stage_words(stage) + " has no run yet to race");
    const online::board_entry& top = b.entries.front();
    const std::string file = fetch_session_replay(client, top.session, download_dir, why);
    if (file.empty()) return fail("the board's first run: " + why);
    return {{}, file, top.player + " #" + std::to_string(top.rank), top.run};
}

}  // namespace

ghost_choice choose_ghost(const std::string& which, const stage_named& stage, const std::string& library_path,
                          const std::string& download_dir, const std::string& server, const std::string& token) {
    ghost_choice c = which == "best"  ? own_best(stage, library_path)
                     : which == "top" ? board_top(stage, download_dir, server, token)
                                      : ghost_choice{{}, which, {}, 1};
    if (!c.why.empty()) return c;
    // Refused here, before any window, with the song named.
    if (std::string why = results::check_ghost_replay(c.file, c.run, stage.path, quoted(stage.song) + " in " + stage_words(stage));
        !why.empty())
        return fail(why);
    return c;
}

bool stage_of_cache_name(const std::string& path, stage_named& out) {
    constexpr std::size_t hash_digits = 32;
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::size_t version = name.rfind("-v");
    if (name.size() <= hash_digits + 1 || name[hash_digits] != '-' || version == std::string::npos ||
        version <= hash_digits + 1)
        return false;
    const std::string key = name.substr(hash_digits + 1, version - hash_digits - 1);
    const std::size_t dash = key.find('-');
    out.path = path;
    out.song_hash = name.substr(0, hash_digits);
    out.edition = key.substr(0, dash);
    out.difficulty = dash == std::string::npos ? "hard" : key.substr(dash + 1);
    return !out.edition.empty();
}

}  // namespace playcommand
