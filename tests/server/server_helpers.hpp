#pragma once
// What the server's tests build: stages, replays naming them, and the
// multipart submission of the two, sent through the same HTTP library.
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <random>
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

// A key pressed at update `at` of a run and released `length` updates later.
struct tap {
    std::uint32_t at;
    std::uint32_t length;
    int key;
};

// `count` taps of random keys 8 to 16 updates apart, each 1 to 4 long (so
// one key's taps never touch, even moved by 2), with `still_for` updates
// of no key after the first half.
inline std::vector<tap> random_taps(unsigned seed, std::size_t count, std::uint32_t still_for = 0) {
    std::mt19937 random(seed);
    std::vector<tap> taps;
    std::uint32_t at = 5;
    for (std::size_t i = 0; i < count; ++i) {
        if (i == count / 2) at += still_for;
        taps.push_back({at, 1 + static_cast<std::uint32_t>(random() % 4), static_cast<int>(random() % results::replay_key_count)});
        at += 8 + static_cast<std::uint32_t>(random() % 9);
    }
    return taps;
}

// One finished run of `updates` updates holding these taps (each key word
// with the previous update's keys as its "before" half), then 10 updates
// of its result screen.
inline std::string replay_of_taps(const std::string& stage, std::uint32_t seed, const std::vector<tap>& taps,
                                  std::uint32_t updates, std::int32_t offset_ms = 0) {
    std::vector<std::uint32_t> now(updates, 0);
    for (const tap& t : taps)
        for (std::uint32_t u = t.at; u < t.at + t.length && u < updates; ++u) now[u] |= 1u << t.key;
    results::replay r;
    r.seed = seed;
    r.offset_ms = offset_ms;
    r.pattern = vaz::hash_bytes(stage.data(), stage.size());
    std::uint32_t before = 0;
    for (std::uint32_t u = 0; u < updates + 10; ++u) {
        const std::uint32_t keys = u < updates ? now[u] : 0;
        results::append_update(r, keys | before << results::replay_key_count);
        before = keys;
    }
    r.finished_runs.push_back({0, updates, updates + 10, 3, 300});
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

// A raw connection to the server on 127.0.0.1, for requests no client library
// would send; -1 when it cannot be made.
inline int connect_to(int port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

inline httplib::Headers bearer(const std::string& token) { return {{"Authorization", "Bearer " + token}}; }

inline nlohmann::json body_json(const httplib::Result& r) {
    if (!r) return nullptr;
    return nlohmann::json::parse(r->body, nullptr, false);
}

}  // namespace server_test
