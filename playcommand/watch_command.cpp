#include "playcommand/watch_command.hpp"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "library/song_library.hpp"
#include "stagecache/song_hash.hpp"
#include "vaz/files.hpp"

namespace playcommand {
namespace {

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

constexpr std::size_t song_hash_digits = 32;

// A cache entry's name: the song's hash, a dash, then the stage's key.
// Temporaries (a leading dot) and other files are passed over.
bool is_stage_name(const std::string& name) {
    if (name.size() <= song_hash_digits + 5 || name[song_hash_digits] != '-') return false;
    if (name.compare(name.size() - 4, 4, ".pat") != 0) return false;
    return name.find_first_not_of("0123456789abcdef") >= song_hash_digits;
}

// The cached stage whose bytes hash to `pattern`; "" when none. A kept
// replay's name starts with its song's hash, as the stage's does, so those
// stages are read first; any other replay reads the cache through.
std::string find_stage(const std::string& dir, const std::string& replay_name, const results::file_hash& pattern,
                       std::string& problem) {
    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), ::closedir);
    if (!d) {
        if (errno != ENOENT) problem = "cannot read the stage cache " + quoted(dir) + ": " + std::strerror(errno);
        return {};
    }
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(d.get()))
        if (is_stage_name(e->d_name)) names.emplace_back(e->d_name);
    const std::string song = replay_name.substr(0, song_hash_digits + 1);
    std::stable_partition(names.begin(), names.end(),
                          [&](const std::string& n) { return n.compare(0, song.size(), song) == 0; });
    for (const std::string& name : names) {
        vaz::hash_128 h;
        std::string why;
        if (vaz::hash_file(dir + "/" + name, h, why) && h == pattern) return dir + "/" + name;
    }
    return {};
}

}  // namespace

watch_target find_watch_target(const std::string& replay_file, const std::string& stage_dir,
                               const std::string& library_path) {
    watch_target t;
    const results::replay_read_result read = results::read_replay_file(replay_file, t.replay);
    if (read.status != results::replay_status::ok) {
        t.why = results::describe_replay_failure(replay_file, read);
        return t;
    }
    std::string problem;
    const std::size_t slash = replay_file.rfind('/');
    const std::string replay_name = slash == std::string::npos ? replay_file : replay_file.substr(slash + 1);
    t.stage_path = find_stage(stage_dir, replay_name, t.replay.pattern, problem);
    if (!problem.empty()) {
        t.why = problem;
        return t;
    }
    if (t.stage_path.empty()) {
        t.stage_missing = true;
        t.why = "the stage replay " + quoted(replay_file) + " was played on is not in the stage cache " +
                quoted(stage_dir) + "; play or --prepare its song in that edition and difficulty first";
        return t;
    }
    const std::string song_hash = t.stage_path.substr(stage_dir.size() + 1, song_hash_digits);
    const std::string unknown = "the song library does not know the song of replay " + quoted(replay_file) +
                                "; play or --prepare it first";
    std::optional<library::song_row> song;
    try {
        if (!library_path.empty() && library::song_library::exists(library_path))
            song = library::song_library(library_path, false).find(song_hash);
    } catch (const library::library_error& e) {
        t.why = e.what();
        return t;
    }
    if (!song || song->path.empty()) {
        t.why = unknown;
        return t;
    }
    // The song's file may have moved or been replaced since.
    stagecache::song_hash found;
    std::string why;
    if (!stagecache::hash_file(song->path, found, why)) {
        t.why = "the song of replay " + quoted(replay_file) + " was last at " + quoted(song->path) +
                ", which cannot be read: " + why + "; play it from where it is now first";
        return t;
    }
    if (found.hex() != song_hash) {
        t.why = "the song of replay " + quoted(replay_file) + " was last at " + quoted(song->path) +
                ", which now holds another song; play it from where it is now first";
        return t;
    }
    t.song_path = song->path;
    return t;
}

}  // namespace playcommand
