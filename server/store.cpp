#include "server/store.hpp"

#include <algorithm>
#include <atomic>
#include <ctime>
#include <limits>
#include <set>
#include <stdexcept>
#include <vector>

#include "results/replay_file.hpp"
#include "server/names.hpp"
#include "server/originals.hpp"
#include "server/recordings.hpp"
#include "server/statements.hpp"
#include "server/tokens.hpp"

namespace server {
namespace {

// Places up to this one are exact; past it a place may be an estimate.
std::atomic<int> board_exact_top{10000};

std::string bytes_of(const pqxx::field& f) { return pqxx::binarystring(f).str(); }

// The ratio as the game shows it ("11.39"): the stored number is the game's
// float32 widened, which JSON would print as 11.399999618530273.
std::string ratio_text_of(double ratio) { return results::ratio_text(static_cast<float>(ratio)); }

nlohmann::json entry_json(const pqxx::row& r, std::int64_t rank) {
    return {{"rank", rank},     {"player", r["name"].as<std::string>()},
            {"player_id", r["player"].as<std::int64_t>()}, {"hits", r["hits"].as<std::int64_t>()},
            {"score", r["score"].as<std::int64_t>()},   {"ratio", r["ratio"].as<double>()},
            {"ratio_text", ratio_text_of(r["ratio"].as<double>())},
            {"session", r["session"].as<std::int64_t>()}, {"run", r["run"].as<std::int64_t>()},
            {"at", utc_text(r["played_at"].as<std::int64_t>())}};
}

}  // namespace

std::string utc_text(std::int64_t us) {
    const std::time_t seconds = static_cast<std::time_t>(us / 1000000);
    std::tm t{};
    gmtime_r(&seconds, &t);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(us % 1000000));
    return text;
}

new_player add_player(pqxx::work& w, const std::string& name, const std::string& name_key, const std::string& token_hash) {
    const pqxx::result r = run(w, sql::player_insert, name, name_key, pqxx::binarystring(token_hash.data(), token_hash.size()));
    if (!r.empty()) return {r[0][0].as<std::int64_t>(), false, {}};
    const pqxx::result holder = run(w, sql::name_holder, name_key, name);
    return {0, true, holder.empty() ? std::string() : holder[0][0].as<std::string>()};
}

namespace {

// A PostgreSQL array literal of texts, each quoted whatever it holds.
std::string quoted_array(const std::vector<std::string>& items) {
    std::string out = "{";
    for (const std::string& i : items) {
        if (out.size() > 1) out += ',';
        out += '"';
        for (char c : i) {
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        }
        out += '"';
    }
    return out + "}";
}

}  // namespace

void key_old_names(pqxx::connection& c) {
    // Keys are ICU's, so they are worked out here; they go back in batches
    // of one statement each, not a statement a player, so that a start
    // with many players to key stays quick.
    constexpr std::size_t batch = 5000;
    pqxx::work w(c);
    std::set<std::string> taken;  // keys given in this pass: the oldest player holding one keeps it
    std::vector<std::string> ids, keys;
    const auto flush = [&] {
        if (ids.empty()) return;
        std::string id_list;
        for (const std::string& id : ids) id_list += (id_list.empty() ? "" : ",") + id;
        run(w, sql::name_keys_set, "{" + id_list + "}", quoted_array(keys));
        ids.clear();
        keys.clear();
    };
    for (const pqxx::row& r : run(w, sql::unkeyed_names)) {
        // A name kept before the rules that it breaks keeps no key.
        const name_check n = check_name(r[1].as<std::string>());
        if (!n.ok || !taken.insert(n.key).second) continue;
        ids.push_back(r[0].as<std::string>());
        keys.push_back(n.key);
        if (ids.size() == batch) flush();
    }
    flush();
    w.commit();
}

stored_session add_session(pqxx::work& w, const std::string& token_hash, const submission& s, const std::string& address) {
    stored_session out;
    const pqxx::row look = run1(w, sql::session_look, pqxx::binarystring(token_hash.data(), token_hash.size()), s.replay_hash, s.stage_hash);
    if (look[0].is_null()) return out;
    out.player_known = true;
    if (look[5].as<bool>()) {
        // Nothing of a restricted player's is stored, not even a session sent before.
        out.refused = refusal{403, "player_restricted",
                              "this player may not send sessions: " + look[6].as<std::string>()};
        return out;
    }
    const auto player = look[0].as<std::int64_t>();
    const auto existing = [&](const pqxx::row& r, int at) {
        out.id = r[at].as<std::int64_t>();
        out.other_player = r[at + 1].as<std::int64_t>() != player;
        out.status = r[at + 2].as<std::string>();
        return out;
    };
    if (!look[1].is_null()) return existing(look, 1);
    play_verdict verdict = check_play(w, player, s);
    if (verdict.refused) {
        out.refused = std::move(verdict.refused);
        out.original = verdict.original;
        return out;
    }
    if (verdict.session != 0) {
        out.id = verdict.session;
        out.status = verdict.status;
        return out;
    }

    // Bytes travel only when the stage is new, which most submissions' is not.
    if (!look[4].as<bool>()) {
        const std::string length = s.length_ms ? std::to_string(*s.length_ms) : std::string();
        const char* length_or_null = s.length_ms ? length.c_str() : nullptr;
        run(w, sql::stage_insert, s.stage_hash, pqxx::binarystring(s.stage.data(), s.stage.size()), s.events, s.title, s.artist, s.album,
            length_or_null, s.fingerprint, s.edition, s.difficulty);
        link_recording(w, s.stage_hash, true, s.envelope);
    } else {
        // Linked before any stage's row changes here: see link_recording.
        if (verdict.unlinked) link_recording(w, s.stage_hash, false, s.envelope);
        if (!verdict.labels_known) keep_labels(w, s);
    }
    if (!s.envelope.empty()) run(w, sql::envelope_keep, s.stage_hash, pqxx::binarystring(s.envelope.data(), s.envelope.size()));
    std::string runs, hits, scores, ratios, updates;
    for (const claimed_run& c : s.runs) {
        const char* comma = runs.empty() ? "" : ",";
        runs += comma + std::to_string(c.run);
        hits += comma + std::to_string(c.hits);
        scores += comma + std::to_string(c.score);
        ratios += comma + pqxx::to_string(c.ratio);
        updates += comma + std::to_string(c.updates);
    }
    const play_columns play = play_columns_of(s);
    const pqxx::result r = run(w, sql::session_insert, player, s.stage_hash, s.replay_hash, pqxx::binarystring(s.replay.data(), s.replay.size()), s.edition, s.difficulty,
        static_cast<std::int64_t>(s.updates), "{" + runs + "}", "{" + hits + "}", "{" + scores + "}", "{" + ratios + "}",
        "{" + updates + "}", play.session, address, play.runs, play.changes, play.counts);
    if (r.empty()) {
        // Another request stored the same replay between the look and the insert.
        const pqxx::row again = run1(w, sql::session_of_replay, s.replay_hash);
        return existing(again, 0);
    }
    out.id = r[0][0].as<std::int64_t>();
    out.status = "pending";
    out.fresh = true;
    return out;
}

namespace {

constexpr std::int64_t hour_us = 3600ll * 1000000;
constexpr int address_lock_class = 0x76706c61;  // "vpla": per-address player counts

// Seconds from now_us until the moment at_us is an hour old; at least 1.
int seconds_until_aged(std::int64_t at_us, std::int64_t now) {
    const std::int64_t left = at_us + hour_us - now;
    return static_cast<int>(std::max<std::int64_t>(1, (left + 999999) / 1000000));
}

}  // namespace

int verification_budget_wait(pqxx::work& w, const std::string& token_hash, const std::string& address,
                             std::int64_t player_budget_ms, std::int64_t address_budget_ms) {
    const pqxx::row r = run1(w, sql::budget_wait,
        pqxx::binarystring(token_hash.data(), token_hash.size()), address, player_budget_ms, address_budget_ms);
    const auto now = r[0].as<std::int64_t>();
    int wait = 0;
    for (int i : {1, 2})
        if (!r[i].is_null()) wait = std::max(wait, seconds_until_aged(r[i].as<std::int64_t>(), now));
    return wait;
}

std::string note_submission(pqxx::work& w, std::int64_t session, const std::string& address) {
    return run1(w, sql::submission_note, session, address)[0].as<std::string>();
}

int new_player_wait(pqxx::work& w, const std::string& address, int per_hour) {
    if (per_hour <= 0) return 0;
    run(w, sql::address_lock, address_lock_class, address);
    const pqxx::result r = run(w, sql::address_players, address, per_hour - 1);
    if (r.empty()) return 0;
    return seconds_until_aged(r[0][0].as<std::int64_t>(), r[0][1].as<std::int64_t>());
}

void note_player_address(pqxx::work& w, std::int64_t player, const std::string& address) {
    run(w, sql::player_address_set, player, address);
}

nlohmann::json session_json(pqxx::transaction_base& w, std::int64_t id, const std::string& token_hash) {
    const pqxx::result r = run(w, sql::session_read, id, pqxx::binarystring(token_hash.data(), token_hash.size()));
    if (r.empty()) return nullptr;
    const pqxx::row row = r[0];
    nlohmann::json runs = nlohmann::json::array();
    for (const pqxx::row& x : run(w, sql::session_runs, id)) {
        runs.push_back({{"run", x[0].as<std::int64_t>()}, {"hits", x[1].as<std::int64_t>()}, {"score", x[2].as<std::int64_t>()},
                        {"ratio", x[3].as<double>()}, {"ratio_text", ratio_text_of(x[3].as<double>())},
                        {"updates", x[4].as<std::int64_t>()}});
    }
    return {{"session", row[0].as<std::int64_t>()}, {"player", row[1].as<std::string>()},
            {"status", row[2].as<std::string>()}, {"reason", row[3].as<std::string>()},
            {"stage", row[4].as<std::string>()},  {"edition", row[5].as<std::string>()},
            {"difficulty", row[6].as<std::string>()}, {"submitted_at", utc_text(row[7].as<std::int64_t>())},
            {"updates", row[8].as<std::int64_t>()}, {"watches", row[9].as<std::int64_t>()}, {"runs", runs}};
}

board_top board_top_rows(pqxx::transaction_base& t, const std::string& stage, const std::string& edition,
                         const std::string& difficulty, int limit) {
    board_top out;
    for (const pqxx::row& r : run(t, sql::board_top, stage, edition, difficulty, limit)) {
        out.players = r["players"].as<std::int64_t>();
        const nlohmann::json e = entry_json(r, r["rank"].as<std::int64_t>());
        out.entries.push_back(e.dump());
        out.page_rows.push_back({e["rank"], e["player"], e["hits"], e["score"], e["ratio_text"],
                                 e["at"].get<std::string>().substr(0, 10), e["session"], 0});
    }
    const pqxx::result other = run(t, sql::board_of_recording, stage, edition, difficulty);
    if (!other.empty()) out.recording_board = other[0][0].as<std::string>();
    const pqxx::result buckets = run(t, sql::board_buckets, stage, edition, difficulty, board_kept_buckets + 1);
    if (buckets.size() > board_kept_buckets) return out;
    out.counted = true;
    for (const pqxx::row& r : buckets) {
        const int level = r[0].as<int>();
        if (level < 0 || level > 3) throw std::runtime_error("a board bucket of level " + std::to_string(level));
        bucket_level& l = out.levels[level];
        if (l.before.empty()) l.before.push_back(0);
        l.buckets.push_back(r[1].as<std::int64_t>());
        l.before.push_back(l.before.back() + r[2].as<std::int64_t>());
    }
    // The count from the same rows as the places: the two statements may
    // fall either side of a write.
    out.players = out.levels[0].before.empty() ? 0 : out.levels[0].before.back();
    return out;
}

namespace {

// The players of the level's buckets after `from` and before `to`.
std::int64_t players_between(const bucket_level& l, std::int64_t from, std::int64_t to) {
    if (l.buckets.empty() || to <= from) return 0;
    const auto lo = std::upper_bound(l.buckets.begin(), l.buckets.end(), from) - l.buckets.begin();
    const auto hi = std::lower_bound(l.buckets.begin(), l.buckets.end(), to) - l.buckets.begin();
    return hi > lo ? l.before[static_cast<std::size_t>(hi)] - l.before[static_cast<std::size_t>(lo)] : 0;
}

}  // namespace

bucket_counts count_buckets(const board_top& top, std::int64_t k) {
    // As above_sql: every better bucket at level 0, below it the better
    // children of the reader's bucket of the level above.
    bucket_counts c;
    const int* shifts = bucket_shifts;
    c.above = players_between(top.levels[0], k >> shifts[0], std::numeric_limits<std::int64_t>::max());
    for (int level = 1; level < 4; ++level)
        c.above += players_between(top.levels[level], k >> shifts[level], ((k >> shifts[level - 1]) + 1) << 6);
    const std::int64_t own = k >> shifts[3];
    c.level = players_between(top.levels[3], own - 1, own + 1);
    return c;
}

std::optional<nlohmann::json> board_place(pqxx::transaction_base& t, const std::string& stage, const std::string& edition,
                                          const std::string& difficulty, const std::string& token_hash, const board_top* kept) {
    const int exact = board_exact_top.load();
    // Past the exact top a walk of a tenth of it bounds a read's cost.
    const int walk = std::max(1, exact / 10);
    const pqxx::binarystring token(token_hash.data(), token_hash.size());
    if (kept && kept->counted) {
        // The kept counts give the players of the better buckets; the walk
        // inside the reader's own is read now, as far as a place past the
        // exact top needs. A longer walk is needed only for a place that
        // may be within the exact top behind a tie of more than `walk`.
        const pqxx::row r = run1(t, sql::board_mine, stage, edition, difficulty, token, walk);
        if (!r["known"].as<bool>()) return std::nullopt;
        if (r["player"].is_null()) return nlohmann::json(nullptr);
        const bucket_counts c = count_buckets(*kept, r["k"].as<std::int64_t>());
        const std::int64_t cap = std::max<std::int64_t>(exact - c.above, walk), ahead = r["ahead"].as<std::int64_t>();
        if (ahead < walk || cap == walk) {
            nlohmann::json you = entry_json(r, ahead < cap ? c.above + ahead + 1 : c.above + (cap + 1 + std::max(c.level, cap + 1)) / 2);
            you["rank_estimate"] = ahead >= cap;
            return you;
        }
    }
    const pqxx::row r = run1(t, sql::board_place, stage, edition, difficulty, token, exact, walk);
    if (!r["known"].as<bool>()) return std::nullopt;
    if (r["rank"].is_null()) return nlohmann::json(nullptr);
    nlohmann::json you = entry_json(r, r["rank"].as<std::int64_t>());
    you["rank_estimate"] = r["estimate"].as<bool>();
    return you;
}

std::string board_text(const board_top& top, int limit, const nlohmann::json& you) {
    // The keys in the order nlohmann::json writes them, so the text is what
    // dumping the whole object would give.
    std::string text = "{\"entries\":[";
    const std::size_t n = std::min(top.entries.size(), static_cast<std::size_t>(std::max(0, limit)));
    for (std::size_t i = 0; i < n; ++i) {
        if (i) text += ',';
        text += top.entries[i];
    }
    text += "],\"players\":" + std::to_string(top.players);
    if (!top.recording_board.empty()) text += ",\"recording_board\":\"" + top.recording_board + "\"";
    return text + ",\"you\":" + you.dump() + "}";
}

void set_board_exact_top(int places) { board_exact_top = std::max(1, places); }

void record_best(pqxx::work& w, std::int64_t session, const std::string& stage, const std::string& edition,
                 const std::string& difficulty, std::int64_t player) {
    run(w, sql::player_lock, player);
    for (const pqxx::row& r : run(w, sql::record_best, stage, edition, difficulty, player, session)) {
        const auto players = r[2].as<std::int64_t>();
        // Below 0 the counts had already lost a row: nothing is kept.
        if (players < 0)
            throw std::runtime_error("the board's count of bucket " + r[1].as<std::string>() + " at level " +
                                     r[0].as<std::string>() + " would fall below 0");
        if (players == 0)
            run(w, sql::bucket_empty_delete, stage, edition, difficulty, r[0].as<int>(), r[1].as<std::int64_t>());
    }
}

std::optional<std::string> replay_bytes(pqxx::transaction_base& w, std::int64_t session) {
    const pqxx::result r = run(w, sql::replay_bytes, session);
    if (r.empty()) return std::nullopt;
    return bytes_of(r[0][0]);
}

std::optional<std::string> stage_bytes(pqxx::transaction_base& w, const std::string& hash) {
    const pqxx::result r = run(w, sql::stage_bytes, hash);
    if (r.empty()) return std::nullopt;
    return bytes_of(r[0][0]);
}

std::optional<std::string> stage_envelope(pqxx::transaction_base& w, const std::string& hash) {
    const pqxx::result r = run(w, sql::stage_envelope, hash);
    if (r.empty()) return std::nullopt;
    return bytes_of(r[0][0]);
}

void choose_recording_board(pqxx::work& w, const std::string& stage, const std::string& edition, const std::string& difficulty) {
    run(w, sql::recording_board_choose, stage, edition, difficulty);
}

std::optional<board_extras> board_extras_of(pqxx::transaction_base& t, const std::string& stage,
                                            const std::vector<std::int64_t>& sessions) {
    std::string ids;
    for (std::int64_t id : sessions) ids += (ids.empty() ? "" : ",") + std::to_string(id);
    const pqxx::result r = run(t, sql::board_page_extras, stage, "{" + ids + "}");
    if (r.empty()) return std::nullopt;
    board_extras out{r[0][0].as<std::string>(), r[0][1].as<std::string>(), {}};
    for (const pqxx::row& x : r)
        if (!x[2].is_null()) out.watches[x[2].as<std::int64_t>()] = x[3].as<std::int64_t>();
    return out;
}

std::optional<session_page_data> session_page_of(pqxx::transaction_base& t, std::int64_t id) {
    const pqxx::result r = run(t, sql::session_page, id);
    if (r.empty()) return std::nullopt;
    const pqxx::row x = r[0];
    session_page_data s;
    s.session = id;
    s.player = x[0].as<std::string>();
    s.status = x[1].as<std::string>();
    s.stage = x[2].as<std::string>();
    s.edition = x[3].as<std::string>();
    s.difficulty = x[4].as<std::string>();
    s.date = utc_text(x[5].as<std::int64_t>()).substr(0, 10);
    s.watches = x[6].as<std::int64_t>();
    s.title = x[7].as<std::string>();
    s.artist = x[8].as<std::string>();
    for (const pqxx::row& y : run(t, sql::session_runs, id)) {
        page_run p;
        p.place = y[0].as<std::int64_t>();
        p.hits = y[1].as<std::int64_t>();
        p.score = y[2].as<std::int64_t>();
        p.rate = ratio_text_of(y[3].as<double>());
        s.runs.push_back(std::move(p));
    }
    return s;
}

bool note_watch(pqxx::work& w, std::int64_t session, const std::string& token_hash, const std::string& address,
                const std::string& secret) {
    std::string viewer = "address " + address;
    if (!token_hash.empty()) {
        const pqxx::result p = run(w, sql::watch_viewer, pqxx::binarystring(token_hash.data(), token_hash.size()));
        // An unknown token is its address, so made-up tokens cannot count again and again.
        if (!p.empty()) viewer = "player " + p[0][0].as<std::string>();
    }
    const std::string key = keyed_hash(secret, viewer);
    return run(w, sql::watch_note, session, pqxx::binarystring(key.data(), key.size())).affected_rows() > 0;
}

std::string watch_secret(pqxx::transaction_base& t) { return bytes_of(run1(t, sql::watch_secret)[0]); }

int prune_watches(pqxx::connection& c, int days, int batch) {
    pqxx::work w(c);
    const int n = static_cast<int>(run(w, sql::watch_prune, days, batch).affected_rows());
    w.commit();
    return n;
}

}  // namespace server
