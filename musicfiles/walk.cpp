#include "musicfiles/walk.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "musicfiles/text.hpp"

namespace musicfiles {

bool is_music_file_name(std::string_view name) {
    static const char* const endings[] = {".wav", ".wave", ".flac", ".ogg", ".oga",  ".opus", ".mp3", ".aif",
                                          ".aiff", ".aifc", ".au", ".snd", ".w64", ".rf64", ".caf"};
    for (const char* e : endings) {
        const std::size_t n = std::strlen(e);
        if (name.size() <= n) continue;
        bool same = true;
        for (std::size_t k = 0; k < n && same; ++k)
            same = std::tolower(static_cast<unsigned char>(name[name.size() - n + k])) == e[k];
        if (same) return true;
    }
    return false;
}

std::string normal_path(const std::string& path) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(path, ec);
    if (ec) p = path;
    std::string s = p.lexically_normal().string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

bool is_under(std::string_view path, std::string_view folder) {
    if (folder == "/") return !path.empty() && path[0] == '/';
    return path.size() >= folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           (path.size() == folder.size() || path[folder.size()] == '/');
}

const char* describe(skip_reason reason) {
    switch (reason) {
        case skip_reason::unreadable_folder: return "a folder that cannot be read";
        case skip_reason::link_loop: return "a link to a folder already walked (a loop)";
        case skip_reason::broken_link: return "a link to nothing";
        case skip_reason::not_regular_file: return "a pipe, a device or a socket named like music";
        case skip_reason::vanished: return "gone while it was scanned";
        case skip_reason::too_deep: return "a folder too deep below the library folder";
        case skip_reason::same_file: return "another name of a file already found";
        case skip_reason::unreadable_file: return "a file that cannot be read";
        case skip_reason::count: break;
    }
    return "?";
}

namespace {

std::int64_t mtime_ns(const struct stat& st) {
    return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

std::string join(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

// The names in an open folder, sorted so every walk of it has one order.
bool read_names(int fd, std::vector<std::pair<std::string, unsigned char>>& names, int& error) {
    DIR* d = ::fdopendir(fd);
    if (d == nullptr) {
        error = errno;
        ::close(fd);
        return false;
    }
    bool whole = true;
    for (;;) {
        errno = 0;
        dirent* e = ::readdir(d);
        if (e == nullptr) {
            if (errno != 0) {
                error = errno;
                whole = false;
            }
            break;
        }
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        names.emplace_back(e->d_name, e->d_type);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return whole;
}

}  // namespace

walk_result walk_folder(const std::string& root, walk_visits& visits, const walk_limits& limits,
                        const std::atomic<bool>* stop, const std::function<void(std::size_t)>& seen) {
    walk_result out;
    struct pending {
        std::string path;
        std::size_t depth;
    };
    std::vector<pending> stack;
    struct stat root_st {};
    if (::stat(root.c_str(), &root_st) != 0) {
        const int error = errno;
        out.skipped.push_back({root, error == ENOENT ? skip_reason::vanished : skip_reason::unreadable_folder,
                               std::strerror(error)});
        if (error != ENOENT) out.unknown.push_back(root);
        return out;
    }
    if (!S_ISDIR(root_st.st_mode)) {
        out.skipped.push_back({root, skip_reason::unreadable_folder, "not a folder"});
        out.unknown.push_back(root);
        return out;
    }
    if (!visits.folders.insert({root_st.st_dev, root_st.st_ino}).second) {
        out.skipped.push_back({root, skip_reason::link_loop, {}});
        return out;
    }
    stack.push_back({root, 0});
    std::size_t looked_at = 0;
    std::vector<std::pair<std::string, unsigned char>> names;
    while (!stack.empty()) {
        if (stop != nullptr && stop->load()) {
            out.stopped = true;
            return out;
        }
        const pending folder = std::move(stack.back());
        stack.pop_back();
        const int fd = ::open(folder.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            if (error == ENOENT) {
                out.skipped.push_back({folder.path, skip_reason::vanished, {}});
            } else {
                out.skipped.push_back({folder.path, skip_reason::unreadable_folder, std::strerror(error)});
                out.unknown.push_back(folder.path);
            }
            continue;
        }
        // fdopendir takes the descriptor; stat through a second one.
        const int stat_fd = ::dup(fd);
        names.clear();
        int read_error = 0;
        if (!read_names(fd, names, read_error)) {
            out.skipped.push_back({folder.path, skip_reason::unreadable_folder, std::strerror(read_error)});
            out.unknown.push_back(folder.path);
            if (names.empty()) {
                if (stat_fd >= 0) ::close(stat_fd);
                continue;
            }
        }
        std::vector<pending> subfolders;
        for (const auto& [name, type] : names) {
            if (seen && ++looked_at % 256 == 0) seen(out.files.size());
            if (stop != nullptr && stop->load()) {
                out.stopped = true;
                if (stat_fd >= 0) ::close(stat_fd);
                return out;
            }
            const bool music_name = is_music_file_name(name);
            // A plain file not named like music needs no look at all.
            if (type == DT_REG && !music_name) continue;
            const std::string path = join(folder.path, name);
            struct stat st {};
            if (::fstatat(stat_fd, name.c_str(), &st, 0) != 0) {
                const int error = errno;
                struct stat link {};
                const bool is_link = ::fstatat(stat_fd, name.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 &&
                                     S_ISLNK(link.st_mode);
                if (error == ELOOP)
                    out.skipped.push_back({path, skip_reason::link_loop, std::strerror(error)});
                else if (is_link && error == ENOENT && music_name)
                    out.skipped.push_back({path, skip_reason::broken_link, {}});
                else if (error == ENOENT && !is_link && music_name)
                    out.skipped.push_back({path, skip_reason::vanished, {}});
                else if (error != ENOENT)
                    out.skipped.push_back({path, music_name ? skip_reason::unreadable_file : skip_reason::unreadable_folder,
                                           std::strerror(error)});
                continue;
            }
            if (S_ISDIR(st.st_mode)) {
                if (folder.depth + 1 > limits.max_depth) {
                    out.skipped.push_back({path, skip_reason::too_deep, {}});
                    out.unknown.push_back(path);
                } else if (!visits.folders.insert({st.st_dev, st.st_ino}).second) {
                    out.skipped.push_back({path, skip_reason::link_loop, {}});
                } else {
                    subfolders.push_back({path, folder.depth + 1});
                }
                continue;
            }
            if (!music_name) continue;
            if (!S_ISREG(st.st_mode)) {
                out.skipped.push_back({path, skip_reason::not_regular_file, {}});
                continue;
            }
            if (!visits.files.insert({st.st_dev, st.st_ino}).second) {
                out.skipped.push_back({path, skip_reason::same_file, {}});
                continue;
            }
            if (!is_valid_utf8(path)) ++out.names_not_utf8;
            out.files.push_back({path, static_cast<std::int64_t>(st.st_size), mtime_ns(st)});
        }
        if (stat_fd >= 0) ::close(stat_fd);
        // Pushed in reverse so the first name is walked first.
        for (auto it = subfolders.rbegin(); it != subfolders.rend(); ++it) stack.push_back(std::move(*it));
    }
    if (seen) seen(out.files.size());
    return out;
}

std::vector<std::string> subfolders(const std::string& folder) {
    std::vector<std::string> found;
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return found;
    std::vector<std::pair<std::string, unsigned char>> names;
    int error = 0;
    read_names(fd, names, error);
    for (const auto& [name, type] : names) {
        if (name[0] == '.') continue;
        struct stat st {};
        if (::stat(join(folder, name).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) found.push_back(name);
    }
    return found;
}

}  // namespace musicfiles
