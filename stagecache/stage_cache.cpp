#include "stagecache/stage_cache.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <utility>

#include <xxhash.h>

#include "pattern/pattern_loader.hpp"
#include "userfiles/user_dirs.hpp"
#include "vaz/files.hpp"

namespace stagecache {

stage_cache::stage_cache(std::string root) : dir_(root.empty() ? std::string() : std::move(root) + "/stages") {}

std::string checksum_text(const void* bytes, std::size_t count) {
    const XXH64_hash_t h = XXH3_64bits(bytes, count);
    static const char digits[] = "0123456789abcdef";
    std::string s(16, '0');
    for (int i = 0; i < 16; ++i) s[15 - i] = digits[(h >> (4 * i)) & 0xf];
    return s;
}

namespace {

std::string key_text(const stage_key& key) {
    return key.edition + (key.difficulty == "hard" ? std::string() : "-" + key.difficulty);
}

}  // namespace

std::string stage_cache::entry_path(const song_hash& song, const stage_key& key) const {
    return dir_ + "/" + song.hex() + "-" + key_text(key) + "-v" + std::to_string(key.format_version) + ".pat";
}

entry_check stage_cache::check(const song_hash& song, const stage_key& key) const {
    const std::string path = entry_path(song, key);
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
    // Its size is known good by now, so reading it whole is bounded.
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(expected));
    std::ifstream in(path, std::ios::binary);
    if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()))) {
        result.state = entry_state::damaged;
        result.problem = "cannot read \"" + path + "\" whole";
        return result;
    }
    result.state = entry_state::valid;
    result.events = events;
    result.checksum = checksum_text(bytes.data(), bytes.size());
    return result;
}

bool stage_cache::store(const song_hash& song, const stage_key& key, const std::vector<std::uint8_t>& bytes,
                        std::string& error) const {
    if (!userfiles::make_dirs(dir_, error)) {
        error = "cannot make the folder \"" + dir_ + "\": " + error;
        return false;
    }
    const std::string path = entry_path(song, key);
    // Unique per writer, and hidden: remove_stale_temporaries knows them by
    // the leading dot. Readable like any file the user makes.
    const vaz::replace_result r = vaz::replace_file(
        path, dir_ + "/." + song.hex() + "-" + key_text(key) + ".XXXXXX", bytes.data(), bytes.size(), 0644);
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
