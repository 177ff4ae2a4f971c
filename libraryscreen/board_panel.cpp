#include "libraryscreen/board_panel.hpp"

#include "online/client.hpp"
#include "results/replay_file.hpp"

namespace libraryscreen {
namespace {

// A board read this long ago is read again when the song is rested on.
constexpr std::uint32_t fresh_ms = 60000;
// Boards kept at most; past it one makes room for the next.
constexpr std::size_t most_kept = 500;

}  // namespace

board_panel::board_panel(online_calls& calls) : calls_(calls), thread_([this] { run(); }) {}

board_panel::~board_panel() {
    {
        std::lock_guard<std::mutex> g(lock_);
        stop_ = true;
    }
    woken_.notify_all();
    thread_.join();
}

std::string board_panel::key_of(const std::string& song, ::library::stage_choice stage) {
    return std::string(stage.edition_name()) + "/" + stage.difficulty_name() + "/" + song;
}

void board_panel::want(const std::string& song, ::library::stage_choice stage, std::uint32_t now_ms) {
    const std::string key = key_of(song, stage);
    std::lock_guard<std::mutex> g(lock_);
    now_ms_ = now_ms;
    if (key == wanted_key_) return;
    const auto found = cache_.find(key);
    if (found != cache_.end() && now_ms - found->second.at_ms < fresh_ms) return;
    wanted_key_ = key;
    wanted_song_ = song;
    wanted_stage_ = stage;
    woken_.notify_all();
}

std::optional<song_board> board_panel::find(const std::string& song, ::library::stage_choice stage) const {
    std::lock_guard<std::mutex> g(lock_);
    const auto found = cache_.find(key_of(song, stage));
    if (found == cache_.end()) return std::nullopt;
    return found->second.board;
}

void board_panel::forget() {
    std::lock_guard<std::mutex> g(lock_);
    for (auto& [key, k] : cache_) k.at_ms = now_ms_ - fresh_ms;
    // The song rested on is read again at once.
    if (!wanted_key_.empty()) {
        wanted_key_.clear();
    }
}

void board_panel::run() {
    std::unique_lock<std::mutex> g(lock_);
    for (;;) {
        woken_.wait(g, [this] { return stop_ || !wanted_key_.empty(); });
        if (stop_) return;
        const std::string key = wanted_key_, song = wanted_song_;
        const ::library::stage_choice stage = wanted_stage_;
        g.unlock();
        song_board b;
        try {
            b = calls_.board(song, stage);
        } catch (const std::exception& e) {
            b.why = e.what();
        }
        g.lock();
        if (cache_.size() >= most_kept) cache_.erase(cache_.begin());
        cache_[key] = {b, now_ms_};
        if (wanted_key_ == key) wanted_key_.clear();
    }
}

std::string board_panel::summary(const song_board& b, const std::string& player) {
    // The last run's state first: the line is cut at the window's edge.
    const std::string state = b.state.empty() ? std::string() : "Last run " + b.state + ". ";
    if (!b.ok) return state + (b.why == "not prepared yet" ? "World: not prepared yet" : "World board unavailable");
    std::string line = state + "World:";
    if (b.you)
        line += " you #" + online::place_text(b.you->rank, b.you->rank_estimate) + " of " + std::to_string(b.players);
    else
        line += " " + std::to_string(b.players) + (b.players == 1 ? " player" : " players");
    if (!b.rows.empty() && (!b.you || b.rows.front().player != player))
        line += ", top " + results::ratio_text(static_cast<float>(b.rows.front().ratio)) + " " + b.rows.front().player;
    if (!b.versions.empty())
        line += ", " + std::to_string(b.versions.size()) + (b.versions.size() == 1 ? " other version" : " other versions");
    return line;
}

std::vector<world_line> board_panel::panel_lines(const song_board& b, const std::string& player, std::size_t top) {
    if (!b.ok) return {{b.why == "not prepared yet" ? "not prepared yet" : "unavailable", "", false}};
    if (b.rows.empty()) return {{"no runs yet", "", false}};
    const auto line_of = [&](const board_row& r) {
        return world_line{"#" + online::place_text(r.rank, r.rank_estimate) + " " + r.player,
                          results::ratio_text(static_cast<float>(r.ratio)) + "/" + std::to_string(r.hits),
                          r.player == player};
    };
    std::vector<world_line> lines;
    bool you_shown = false;
    for (std::size_t i = 0; i < b.rows.size() && i < top; ++i) {
        lines.push_back(line_of(b.rows[i]));
        you_shown = you_shown || lines.back().you;
    }
    if (b.you && !you_shown) lines.push_back(line_of(*b.you));
    return lines;
}

}  // namespace libraryscreen
