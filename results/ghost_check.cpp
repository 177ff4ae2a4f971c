#include "results/ghost_check.hpp"

#include "results/replay_file.hpp"
#include "vaz/files.hpp"

namespace results {

std::string check_ghost_replay(const std::string& replay_file, int run, const std::string& stage_file,
                               const std::string& stage_words) {
    const std::string shown = "\"" + replay_file + "\"";
    replay r;
    const replay_read_result read = read_replay_file(replay_file, r);
    if (read.status != replay_status::ok) return "ghost: " + describe_replay_failure(replay_file, read);
    vaz::hash_128 hash;
    std::string why;
    if (!vaz::hash_file(stage_file, hash, why)) return "cannot read the stage \"" + stage_file + "\": " + why;
    if (r.pattern != hash) return "ghost replay " + shown + " was played on another stage, not " + stage_words;
    if (r.finished_runs.empty()) return "ghost replay " + shown + " holds no finished run to race";
    if (run < 1 || static_cast<std::size_t>(run) > r.finished_runs.size())
        return "ghost replay " + shown + " holds no finished run " + std::to_string(run);
    return {};
}

}  // namespace results
