#include "libraryscreen/online_calls.hpp"

#include <fstream>

#include <ctime>

#include "library/places.hpp"
#include "library/play_session.hpp"
#include "online/account.hpp"
#include "online/board_stage.hpp"
#include "online/boards.hpp"
#include "online/client.hpp"
#include "online/sender.hpp"
#include "stagecache/stage_cache.hpp"
#include "userfiles/user_dirs.hpp"
#include "vaz/files.hpp"

namespace libraryscreen {
namespace {

// A board's call waits this long at most: the panel says so and tries again later.
online::limits panel_limits() {
    online::limits l;
    l.connect_ms = 2000;
    l.answer_ms = 4000;
    return l;
}

board_row row_of(const online::board_entry& e) {
    return {e.rank, e.player, e.hits, e.score, e.ratio, e.session, e.rank_estimate, e.run > 0 ? e.run : 1};
}

// Files downloaded to watch: in the data folder, named by what they hold.
std::string keep_download(const std::string& name, const std::string& bytes, std::string& path) {
    const std::string dir = ::library::downloads_dir();
    std::string why;
    if (dir.empty()) return "no home folder to keep downloads in";
    if (!userfiles::make_dirs(dir, why)) return "cannot make \"" + dir + "\": " + why;
    path = dir + "/" + name;
    const vaz::replace_result r = vaz::replace_file(path, path + ".XXXXXX",
                                                    reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), 0644);
    if (r.failed_at != vaz::replace_step::done) return "cannot write \"" + path + "\"";
    return {};
}

}  // namespace

struct online_calls::sender {
    std::unique_ptr<online::background_sender> thread;
};

online_calls::online_calls(library_calls& calls) : calls_(calls), sender_(std::make_unique<sender>()) {
    std::string problem;
    if (const std::optional<online::account> a = online::load_account(problem)) {
        server_ = a->server;
        player_ = a->player;
        token_ = a->token;
        start_sending();
    }
}

online_calls::~online_calls() = default;

online_calls::who online_calls::account() const {
    std::lock_guard<std::mutex> g(lock_);
    return {server_, player_, token_};
}

bool online_calls::online() const { return !account().server.empty(); }
std::string online_calls::server() const { return account().server; }
std::string online_calls::player() const { return account().player; }

void online_calls::start_sending() {
    const who a = account();
    calls_.submit_to(a.server);
    sender_->thread.reset();
    if (calls_.songs() && !a.server.empty())
        sender_->thread = std::make_unique<online::background_sender>(*calls_.songs(), online::account{a.server, a.player, a.token});
}

std::uint64_t online_calls::changes() const { return sender_->thread ? sender_->thread->changes() : 0; }

void online_calls::session_ended() {
    if (sender_->thread) sender_->thread->wake();
}

song_board online_calls::board(const std::string& song, ::library::stage_choice stage) {
    song_board b;
    const who a = account();
    online::board_question q;
    q.song = song;
    q.choice = stage;
    const online::board_summary got = online::look_up_board({a.server, a.player, a.token}, q,
                                                            stagecache::stage_cache(userfiles::cache_dir()),
                                                            calls_.songs(), panel_limits());
    b.ok = got.ok();
    b.why = got.why;
    b.stage = got.stage;
    b.state = got.state;
    for (const online::board_entry& e : got.got.entries) b.rows.push_back(row_of(e));
    if (got.got.you) b.you = row_of(*got.got.you);
    b.players = got.got.players;
    for (const online::version& v : got.versions)
        b.versions.push_back({v.stage, v.edition, v.difficulty, v.title, v.players});
    return b;
}

std::string online_calls::send_kept_bests() {
    const who a = account();
    library::song_library* songs = calls_.songs();
    if (a.server.empty() || !songs) return "No server or no song library: nothing to send.";
    try {
        const library::backlog b = library::queue_kept_bests(*songs, a.server, std::time(nullptr));
        session_ended();
        std::string said = "Queued " + std::to_string(b.queued) + " best run" + (b.queued == 1 ? "" : "s") +
                           " kept before.";
        if (!b.skipped.empty()) said += " " + std::to_string(b.skipped.size()) + " cannot be sent: " + b.skipped[0];
        return said;
    } catch (const std::exception& e) {
        return std::string("Not queued: ") + e.what();
    }
}

std::string online_calls::fetch_stage(const std::string& stage, std::string& stage_file) {
    const who a = account();
    const std::string dir = ::library::downloads_dir();
    if (dir.empty()) return "no home folder to keep downloads in";
    stage_file = dir + "/" + stage + ".pat";
    return online::keep_stage(online::client(a.server, a.token), stage, stage_file);
}

void online_calls::refresh_board_stage(const std::string& song_hash, const std::string& song_path,
                                       const std::string& own_stage_file, ::library::stage_choice stage) {
    const who a = account();
    ::library::song_library* songs = calls_.songs();
    vaz::hash_128 own;
    std::string why;
    if (a.server.empty() || !songs || !vaz::hash_file(own_stage_file, own, why)) return;
    try {
        online::refresh_board_stage({a.server, a.player, a.token}, *songs,
                                    {song_hash, song_path, own.hex(), own_stage_file, stage}, panel_limits());
    } catch (const std::exception&) {
        // The song plays its own stage, or the row kept before.
    }
}

std::string online_calls::fetch_run(std::int64_t session, const std::string& stage, std::string& replay_file,
                                    std::string& stage_file) {
    const who a = account();
    const online::download d = online::client(a.server, a.token).replay(session);
    if (!d.how.ok) return d.how.message;
    if (std::string why = keep_download("session-" + std::to_string(session) + ".vrp", d.bytes, replay_file);
        !why.empty())
        return why;
    return fetch_stage(stage, stage_file);
}

std::string online_calls::go_online(const std::string& server, const std::string& player) {
    if (const std::string bad = online::client::check_address(server); !bad.empty()) return bad;
    const online::registered r = online::client(server).register_player(player);
    if (!r.how.ok) return r.how.message;
    if (const std::string e = online::save_account({server, player, r.token}); !e.empty()) return e;
    {
        std::lock_guard<std::mutex> g(lock_);
        server_ = server;
        player_ = player;
        token_ = r.token;
    }
    start_sending();
    return {};
}

std::string online_calls::go_offline() {
    const std::string e = online::forget_account();
    if (!e.empty()) return e;
    {
        std::lock_guard<std::mutex> g(lock_);
        server_.clear();
        player_.clear();
        token_.clear();
    }
    start_sending();
    return {};
}

}  // namespace libraryscreen
