// Makes standard_hard_crowded.vrp, kept here: a replay whose result was
// counted by the re-play of an earlier version, so that a change to how the
// game's logic is computed that changes what it counts is noticed.
//   g++ -std=c++17 -I. tests/data/replaycheck/make_golden.cpp BUILD/results/libresults.a
//       BUILD/vaz/libvaz.a BUILD/audiolayer/libaudiolayer_sound_file.a -lxxhash -o make_golden
//   BUILD/make_song --seconds 180 song.wav
//   BUILD/velmora_bc song.wav stage.pat --edition standard --difficulty hard
//   make_golden keys stage.pat keys.vrp 13000
//   OLD_BUILD/velmora_verify stage.pat keys.vrp > old.json   # rejected: its run is a placeholder
//   make_golden fill keys.vrp old.json standard_hard_crowded.vrp
// The keys: Space every 90 updates (the start, bombs, the result left), the
// ship steered round a square of 12 updates a side, with the arrows and then
// W A S D. fill takes the runs the re-play gave and cuts the replay after the
// last one that left its result screen.
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "results/replay_file.hpp"

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "keys" && argc == 5) {
        results::replay r;
        r.seed = 777;
        std::string error;
        if (!results::hash_file(argv[2], r.pattern, error)) return 1;
        const std::uint32_t arrows[4] = {1u << 6, 1u << 4, 1u << 5, 1u << 3};
        const std::uint32_t wasd[4] = {1u << 8, 1u << 10, 1u << 7, 1u << 9};
        auto down_at = [&](std::uint32_t u) {
            const std::uint32_t leg = u / 12;
            const std::uint32_t* keys = (leg / 4) % 2 ? wasd : arrows;
            return keys[leg % 4] | (u % 90 == 10 ? 1u : 0u);
        };
        const std::uint32_t updates = static_cast<std::uint32_t>(std::stoul(argv[4]));
        for (std::uint32_t u = 0; u < updates; ++u) {
            results::append_update(r, down_at(u) | (u > 0 ? down_at(u - 1) << results::replay_key_count : 0u));
        }
        r.finished_runs.push_back({0, 1, 0, 0, 0});
        return results::write_replay_file(argv[3], r).empty() ? 0 : 1;
    }
    if (mode == "fill" && argc == 5) {
        results::replay r;
        if (results::read_replay_file(argv[2], r).status != results::replay_status::ok) return 1;
        std::ifstream in(argv[3]);
        const nlohmann::json j = nlohmann::json::parse(in);
        r.finished_runs.clear();
        for (const auto& run : j["runs"]) {
            results::run_summary s;
            s.start_update = run["start_update"];
            s.result_update = run["result_update"];
            s.end_update = run["end_update"];
            s.hits = run["hits"];
            s.score = run["score"];
            r.finished_runs.push_back(s);
        }
        if (r.finished_runs.empty() || r.finished_runs.back().end_update == 0) {
            std::fputs("make_golden: no run left its result screen\n", stderr);
            return 1;
        }
        results::cut_after_run(r, r.finished_runs.size() - 1);
        return results::write_replay_file(argv[4], r).empty() ? 0 : 1;
    }
    std::fputs("usage: make_golden keys STAGE OUT.vrp UPDATES | make_golden fill IN.vrp JSON OUT.vrp\n", stderr);
    return 2;
}
