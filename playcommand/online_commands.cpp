#include "playcommand/online_commands.hpp"

#include <ctime>
#include <memory>
#include <thread>

#include "library/places.hpp"
#include "library/play_session.hpp"
#include "library/submissions.hpp"
#include "online/boards.hpp"
#include "online/sender.hpp"
#include "playcommand/song_table.hpp"
#include "results/replay_file.hpp"
#include "userfiles/user_dirs.hpp"

namespace playcommand {
namespace {

void say(const std::string& line) { std::fprintf(stderr, "velmora_play: %s\n", printable(line).c_str()); }

// The account, or nothing with the reason said.
std::optional<online::account> account_or_say() {
    std::string problem;
    std::optional<online::account> a = online::load_account(problem);
    if (!problem.empty()) say(problem);
    if (!a && problem.empty())
        say("no scoreboard server is set; set one with: velmora_play --online URL --player NAME");
    return a;
}

std::string state_text(const library::submission& s) {
    std::string t = library::state_name(s.state);
    if (s.state == library::submission_state::rejected && !s.reason.empty()) t += ": " + s.reason;
    return t;
}

}  // namespace

int go_online(const play_options& o, std::FILE* out) {
    if (const std::string bad = online::client::check_address(o.server); !bad.empty()) {
        say(bad);
        return 1;
    }
    std::string server = o.server;
    while (!server.empty() && server.back() == '/') server.pop_back();
    std::string problem;
    const std::optional<online::account> known = online::load_account(problem);
    if (known && known->server == server && known->player == o.player) {
        std::fprintf(out, "Already playing online at %s as %s.\n", printable(server).c_str(), printable(o.player).c_str());
        return std::fflush(out) == 0 ? 0 : 1;
    }
    const online::registered r = online::client(server).register_player(o.player);
    if (!r.how.ok) {
        say("cannot register \"" + o.player + "\": " + r.how.message);
        return 1;
    }
    if (const std::string e = online::save_account({server, o.player, r.token}); !e.empty()) {
        say(e + "; the player is registered, but this machine cannot keep the token");
        return 1;
    }
    std::fprintf(out, "Playing online at %s as %s: finished sessions are sent by themselves.\n",
                 printable(server).c_str(), printable(o.player).c_str());
    return std::fflush(out) == 0 ? 0 : 1;
}

int go_offline(std::FILE* out) {
    if (const std::string e = online::forget_account(); !e.empty()) {
        say(e);
        return 1;
    }
    std::fputs("Playing offline: nothing is sent; sessions queued so far stay queued.\n", out);
    return std::fflush(out) == 0 ? 0 : 1;
}

int submit_now(std::FILE* out, bool with_kept_bests) {
    const std::optional<online::account> a = account_or_say();
    if (!a) return 1;
    std::string problem;
    std::unique_ptr<library::song_library> library = library::open_library(problem);
    if (!library) {
        say(problem);
        return 1;
    }
    try {
        if (with_kept_bests) {
            const library::backlog b = library::queue_kept_bests(*library, a->server, std::time(nullptr));
            for (const std::string& p : b.skipped) say(p);
            std::fprintf(out, "Queued %zu best run%s kept before.\n", b.queued, b.queued == 1 ? "" : "s");
        }
        online::send_report r = online::send_queue(*library, *a, std::time(nullptr), true);
        // A verdict usually follows a submission within a second or two.
        for (int i = 0; i < 20 && r.problems.empty() && !library::submissions_pending(*library, a->server).empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            const online::send_report again = online::send_queue(*library, *a, std::time(nullptr), false);
            r.problems = again.problems;
        }
        for (const std::string& p : r.problems) say(p);
        const std::vector<library::submission> all = library::all_submissions(*library, a->server);
        if (all.empty()) std::fprintf(out, "No session was queued for %s yet.\n", printable(a->server).c_str());
        for (const library::submission& s : all)
            std::fprintf(out, "%s  %s\n", printable(s.session).c_str(), printable(state_text(s)).c_str());
        const bool waiting = !library::submissions_to_send(*library, a->server, 0, false).empty();
        return std::fflush(out) == 0 && !waiting ? 0 : 1;
    } catch (const library::library_error& e) {
        say(e.what());
        return 1;
    }
}

std::string format_board(const online::board& b, const std::string& you) {
    std::string text;
    char line[256];
    std::snprintf(line, sizeof line, "%5s  %-24s %8s %10s %8s\n", "RANK", "PLAYER", "HITS", "SCORE", "RATIO");
    text += line;
    const auto row = [&](const online::board_entry& e) {
        std::snprintf(line, sizeof line, "%5s  %s %8lld %10lld %8s%s\n", online::place_text(e.rank, e.rank_estimate).c_str(),
                      column_text(e.player, 24).c_str(),
                      static_cast<long long>(e.hits), static_cast<long long>(e.score),
                      results::ratio_text(static_cast<float>(e.ratio)).c_str(), e.player == you ? "  (you)" : "");
        text += line;
    };
    for (const online::board_entry& e : b.entries) row(e);
    if (b.you && (b.entries.empty() || b.you->rank > b.entries.back().rank)) {
        text += "  ...\n";
        row(*b.you);
    }
    text += std::to_string(b.players) + (b.players == 1 ? " player" : " players") + " on this board.\n";
    return text;
}

int print_board(const play_options& o, std::FILE* out) {
    const std::optional<online::account> a = account_or_say();
    if (!a) return 1;
    online::board_question q;
    q.song = o.songs.front();
    q.choice = {o.edition, o.difficulty};
    q.by_recording = true;
    // Looking at a board adds nothing to the player's song list; an existing
    // list is only read, for the board the song plays (its recording's,
    // once aligned) and what is said beside it.
    std::unique_ptr<library::song_library> songs;
    try {
        if (const std::string path = library::library_path(); library::song_library::exists(path))
            songs = std::make_unique<library::song_library>(path, false);
    } catch (const std::exception&) {
        // The song's own stage's board, as without a list.
    }
    const online::board_summary b =
        online::look_up_board(*a, q, stagecache::stage_cache(userfiles::cache_dir()), songs.get());
    if (b.failed == online::board_failure::server) {
        say("cannot read the board of \"" + q.song + "\": " + b.why);
        return 1;
    }
    if (!b.ok()) {
        say(b.why);
        return 1;
    }
    std::fputs(format_board(b.got, a->player).c_str(), out);
    return std::fflush(out) == 0 ? 0 : 1;
}

std::map<std::string, std::string> best_states(library::song_library& library, const std::string& server) {
    std::map<std::string, std::string> by_session;
    for (const library::submission& s : library::all_submissions(library, server))
        by_session[s.session] = library::state_name(s.state);
    std::map<std::string, std::string> states;
    for (const library::song_row& song : library.songs())
        for (const library::song_stage& st : song.stages) {
            if (!st.best) continue;
            const auto found = by_session.find(st.best->session);
            states[online_key(song.hash, st.edition, st.difficulty)] = found != by_session.end() ? found->second : "-";
        }
    return states;
}

}  // namespace playcommand
