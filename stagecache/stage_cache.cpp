#include "stagecache/stage_cache.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <utility>

#include "pattern/pattern_loader.hpp"
#include "stagecache/user_dirs.hpp"
#include "vaz/files.hpp"

namespace stagecache {

stage_cache::stage_cache(std::string root) : dir_(root.empty() ? std::string() : std::move(root) + "/stages") {}

std::string stage_cache::entry_path(const song_hash& song, std::string_view edition) const {
    return dir_ + "/" + song.hex() + "-" + std::string(edition) + "-v" + std::to_string(stage_format_version) + ".pat";
}

entry_check stage_cache::check(const song_hash& song, std::string_view edition) const {
    const std::string path = entry_path(song, edition);
    entry_check result;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return result;
        result.state = entry_state::damaged;
        result.problem = std::strerror(errno);
        return result;
    }
    pattern_group groups[pattern::max_groups];
    signed char group_count = 0;
    const pattern_load_result loaded = load_pattern_file(path.c_str(), groups, group_count);
    if (loaded.status != pattern_load_status::loaded) {
        result.state = entry_state::damaged;
        result.problem = describe_pattern_failure(path.c_str(), loaded);
        return result;
    }
    std::uint64_t events = 0;
    for (int g = 0; g < group_count; ++g) events += groups[g].size();
    // The loader stops at the last terminator; a whole entry ends there too.
    const std::uint64_t expected = pattern::file_size(events, static_cast<unsigned>(group_count));
    if (static_cast<std::uint64_t>(st.st_size) != expected) {
        result.state = entry_state::damaged;
        result.problem = "pattern file \"" + path + "\" has " + std::to_string(st.st_size) + " bytes where its groups take " +
                         std::to_string(expected);
        return result;
    }
    result.state = entry_state::valid;
    result.events = events;
    return result;
}

bool stage_cache::store(const song_hash& song, std::string_view edition, const std::vector<std::uint8_t>& bytes,
                        std::string& error) const {
    if (!make_dirs(dir_, error)) {
        error = "cannot make the folder \"" + dir_ + "\": " + error;
        return false;
    }
    const std::string path = entry_path(song, edition);
    // Unique per writer, and hidden: remove_stale_temporaries knows them by
    // the leading dot. Readable like any file the user makes.
    const vaz::replace_result r = vaz::replace_file(
        path, dir_ + "/." + song.hex() + "-" + std::string(edition) + ".XXXXXX", bytes.data(), bytes.size(), 0644);
    switch (r.failed_at) {
    case vaz::replace_step::done:
        return true;
    case vaz::replace_step::create:
        error = std::string("cannot create a file in \"") + dir_ + "\": " + std::strerror(r.error);
        return false;
    case vaz::replace_step::write:
        break;
    }
    error = std::string("cannot write \"") + path + "\": " + std::strerror(r.error);
    return false;
}

int stage_cache::remove_stale_temporaries(long seconds) const {
    int removed = 0;
    std::error_code ec;
    const auto now = std::filesystem::file_time_type::clock::now();
    for (const auto& e : std::filesystem::directory_iterator(dir_, ec)) {
        const std::string name = e.path().filename().string();
        if (name.empty() || name[0] != '.') continue;  // only ours start with a dot
        std::error_code time_ec;
        const auto written = std::filesystem::last_write_time(e.path(), time_ec);
        if (time_ec || now - written < std::chrono::seconds(seconds)) continue;
        if (std::filesystem::remove(e.path(), time_ec)) ++removed;
    }
    return removed;
}

}  // namespace stagecache
