#pragma once
// What the server's tests build: stages, replays naming them, and the
// multipart submission of the two, sent through the same HTTP library.
#include <httplib.h>

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "pattern/pattern_writer.hpp"
#include "results/replay_file.hpp"

namespace server_test {

struct run_claim {
    std::int32_t hits;
    std::int32_t score;
};

// A one-group stage of `events` records; `salt` makes stages differ.
inline std::string stage_bytes(int events, int salt = 0) {
    pattern::vector_sink sink;
    pattern::writer w(sink);
    w.group_count(1);
    for (int i = 0; i < events; ++i) w.record({60 + i * 7 + salt, 0.1f * static_cast<float>(i), 2.0f + static_cast<float>(salt)});
    w.terminator();
    return std::string(sink.bytes.begin(), sink.bytes.end());
}

// A session on `stage`: each run 300 updates with its result screen shown
// and left, claiming these hits and scores. Its keys spell the seed (Z held
// in updates 1 to 32 where the seed's bits are set), so sessions of
// different seeds play differently.
inline std::string replay_bytes(const std::string& stage, std::uint32_t seed, const std::vector<run_claim>& runs) {
    results::replay r;
    r.seed = seed;
    r.pattern = vaz::hash_bytes(stage.data(), stage.size());
    std::uint32_t at = 0;
    for (const run_claim& c : runs) {
        const std::uint32_t start = at;
        results::append_update(r, 1u);
        for (int i = 0; i < 299; ++i) {
            const std::uint32_t spelled = i < 32 && (seed >> i & 1u) ? 1u << 1 : 0u;
            results::append_update(r, ((i / 20) % 2 ? 1u << 5 : 0u) | spelled);
        }
        at += 300;
        const std::uint32_t result = at;
        for (int i = 0; i < 10; ++i) results::append_update(r, 0);
        at += 10;
        r.finished_runs.push_back({start, result, at, c.hits, c.score});
    }
    const std::vector<std::uint8_t> bytes = results::encode_replay(r);
    return std::string(bytes.begin(), bytes.end());
}

inline httplib::MultipartFormDataItems session_form(const std::string& stage, const std::string& replay,
                                                    const std::string& edition = "standard",
                                                    const std::string& difficulty = "hard") {
    return {{"stage", stage, "stage.pat", "application/octet-stream"},
            {"replay", replay, "session.vrp", "application/octet-stream"},
            {"edition", edition, "", ""},
            {"difficulty", difficulty, "", ""},
            {"title", "Café Nocturne", "", ""},
            {"length_ms", "180000", "", ""}};
}

inline httplib::Headers bearer(const std::string& token) { return {{"Authorization", "Bearer " + token}}; }

inline nlohmann::json body_json(const httplib::Result& r) {
    if (!r) return nullptr;
    return nlohmann::json::parse(r->body, nullptr, false);
}

}  // namespace server_test
