#include "server/store.hpp"

#include <ctime>

#include "results/result_row.hpp"

namespace server {
namespace {

const std::string now_us = "(extract(epoch FROM clock_timestamp()) * 1000000)::bigint";

std::string bytes_of(const pqxx::field& f) { return pqxx::binarystring(f).str(); }

nlohmann::json entry_json(const pqxx::row& r) {
    return {{"rank", r["rank"].as<std::int64_t>()},     {"player", r["name"].as<std::string>()},
            {"player_id", r["player"].as<std::int64_t>()}, {"hits", r["hits"].as<std::int64_t>()},
            {"score", r["score"].as<std::int64_t>()},   {"ratio", r["ratio"].as<double>()},
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

new_player add_player(pqxx::work& w, const std::string& name, const std::string& token_hash) {
    const pqxx::result r = w.exec_params(
        "INSERT INTO players (name, token_hash) VALUES ($1, $2) ON CONFLICT DO NOTHING RETURNING id", name,
        pqxx::binarystring(token_hash.data(), token_hash.size()));
    if (r.empty()) return {0, true};
    return {r[0][0].as<std::int64_t>(), false};
}

std::optional<std::int64_t> player_of(pqxx::work& w, const std::string& token_hash) {
    const pqxx::result r = w.exec_params("SELECT id FROM players WHERE token_hash = $1",
                                         pqxx::binarystring(token_hash.data(), token_hash.size()));
    if (r.empty()) return std::nullopt;
    return r[0][0].as<std::int64_t>();
}

stored_session add_session(pqxx::work& w, std::int64_t player, const submission& s) {
    // A replay already kept answers before anything is written.
    const auto existing = [&]() -> std::optional<stored_session> {
        const pqxx::result r = w.exec_params("SELECT id, player, status FROM sessions WHERE replay = $1", s.replay_hash);
        if (r.empty()) return std::nullopt;
        stored_session out;
        out.id = r[0][0].as<std::int64_t>();
        out.status = r[0][2].as<std::string>();
        out.other_player = r[0][1].as<std::int64_t>() != player;
        return out;
    };
    if (auto e = existing()) return *e;

    // Bytes travel only when the stage is new, which most submissions' is not.
    if (w.exec_params("SELECT 1 FROM stages WHERE hash = $1", s.stage_hash).empty()) {
        const std::string length = s.length_ms ? std::to_string(*s.length_ms) : std::string();
        const char* length_or_null = s.length_ms ? length.c_str() : nullptr;
        w.exec_params(
            "INSERT INTO stages (hash, bytes, events, title, artist, album, length_ms, fingerprint)"
            " VALUES ($1, $2, $3, $4, $5, $6, $7, $8) ON CONFLICT (hash) DO NOTHING",
            s.stage_hash, pqxx::binarystring(s.stage.data(), s.stage.size()), s.events, s.title, s.artist, s.album,
            length_or_null, s.fingerprint);
    }
    w.exec_params("INSERT INTO replays (hash, bytes) VALUES ($1, $2) ON CONFLICT (hash) DO NOTHING", s.replay_hash,
                  pqxx::binarystring(s.replay.data(), s.replay.size()));
    const pqxx::result r = w.exec_params(
        "INSERT INTO sessions (player, stage, replay, edition, difficulty, updates, submitted_at)"
        " VALUES ($1, $2, $3, $4, $5, $6, " + now_us + ") ON CONFLICT (replay) DO NOTHING RETURNING id, submitted_at",
        player, s.stage_hash, s.replay_hash, s.edition, s.difficulty, static_cast<std::int64_t>(s.updates));
    if (r.empty()) {
        // Another request stored the same replay between the look and the insert.
        if (auto e = existing()) return *e;
        throw std::runtime_error("a session vanished while it was stored");
    }
    stored_session out;
    out.id = r[0][0].as<std::int64_t>();
    out.status = "pending";
    const std::int64_t at = r[0][1].as<std::int64_t>();
    for (const claimed_run& c : s.runs) {
        w.exec_params("INSERT INTO runs (session, run, hits, score, ratio, updates, played_at) VALUES ($1, $2, $3, $4, $5, $6, $7)",
                      out.id, c.run, c.hits, c.score, c.ratio, static_cast<std::int64_t>(c.updates), at);
    }
    return out;
}

nlohmann::json session_json(pqxx::work& w, std::int64_t id) {
    const pqxx::result r = w.exec_params(
        "SELECT s.id, p.name, s.status, s.reason, s.stage, s.edition, s.difficulty, s.submitted_at, s.updates"
        " FROM sessions s JOIN players p ON p.id = s.player WHERE s.id = $1", id);
    if (r.empty()) return nullptr;
    const pqxx::row row = r[0];
    nlohmann::json runs = nlohmann::json::array();
    for (const pqxx::row& x : w.exec_params("SELECT run, hits, score, ratio, updates FROM runs WHERE session = $1 ORDER BY run", id)) {
        runs.push_back({{"run", x[0].as<std::int64_t>()}, {"hits", x[1].as<std::int64_t>()}, {"score", x[2].as<std::int64_t>()},
                        {"ratio", x[3].as<double>()}, {"updates", x[4].as<std::int64_t>()}});
    }
    return {{"session", row[0].as<std::int64_t>()}, {"player", row[1].as<std::string>()},
            {"status", row[2].as<std::string>()}, {"reason", row[3].as<std::string>()},
            {"stage", row[4].as<std::string>()},  {"edition", row[5].as<std::string>()},
            {"difficulty", row[6].as<std::string>()}, {"submitted_at", utc_text(row[7].as<std::int64_t>())},
            {"updates", row[8].as<std::int64_t>()}, {"runs", runs}};
}

nlohmann::json board_json(pqxx::work& w, const std::string& stage, const std::string& edition,
                          const std::string& difficulty, int limit, std::optional<std::int64_t> player) {
    const std::string order = std::string(results::best_order_sql) + ", session, run";
    const std::string columns = "b.player, p.name, b.hits, b.score, b.ratio, b.session, b.run, b.played_at";
    const pqxx::result top = w.exec_params(
        "SELECT row_number() OVER (ORDER BY " + order + ") AS rank, " + columns +
            " FROM bests b JOIN players p ON p.id = b.player"
            " WHERE b.stage = $1 AND b.edition = $2 AND b.difficulty = $3 ORDER BY " + order + " LIMIT $4",
        stage, edition, difficulty, limit);
    nlohmann::json entries = nlohmann::json::array();
    nlohmann::json you = nullptr;
    for (const pqxx::row& r : top) {
        entries.push_back(entry_json(r));
        if (player && r["player"].as<std::int64_t>() == *player) you = entries.back();
    }
    if (player && you.is_null()) {
        // The rank is the place in the board's own order, found along the
        // index that holds that order.
        const pqxx::result mine = w.exec_params(
            "SELECT r.*, p.name FROM (SELECT row_number() OVER (ORDER BY " + order +
                ") AS rank, player, hits, score, ratio, session, run, played_at FROM bests"
                " WHERE stage = $1 AND edition = $2 AND difficulty = $3) r JOIN players p ON p.id = r.player"
                " WHERE r.player = $4",
            stage, edition, difficulty, *player);
        if (!mine.empty()) you = entry_json(mine[0]);
    }
    const std::int64_t players =
        w.exec_params1("SELECT count(*) FROM bests WHERE stage = $1 AND edition = $2 AND difficulty = $3", stage, edition,
                       difficulty)[0]
            .as<std::int64_t>();
    return {{"entries", entries}, {"you", you}, {"players", players}};
}

std::optional<std::string> replay_bytes(pqxx::work& w, std::int64_t session) {
    const pqxx::result r =
        w.exec_params("SELECT r.bytes FROM sessions s JOIN replays r ON r.hash = s.replay WHERE s.id = $1", session);
    if (r.empty()) return std::nullopt;
    return bytes_of(r[0][0]);
}

std::optional<std::string> stage_bytes(pqxx::work& w, const std::string& hash) {
    const pqxx::result r = w.exec_params("SELECT bytes FROM stages WHERE hash = $1", hash);
    if (r.empty()) return std::nullopt;
    return bytes_of(r[0][0]);
}

}  // namespace server
