#include "userfiles/settings.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "audiolayer/regular_file.hpp"
#include "userfiles/user_dirs.hpp"
#include "vaz/files.hpp"
#include "vaz/trimmed.hpp"

namespace userfiles {
namespace {

// Far more than any settings file holds; a bigger file is not ours.
constexpr std::size_t max_file_bytes = 64 * 1024;

std::string new_file_header() {
    return "# velmora settings (see velmora_play(6)); velmora_play keeps lines it does not know.\n"
           "# offset: milliseconds " + vaz::offset_ms_range.text() + ", positive fires the bullets later.\n"
           "# volume: the music's volume in percent, " + vaz::volume_range.span() + ".\n";
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            lines.push_back(text.substr(at));
            break;
        }
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

// The key of a "key = value" line; empty for blank lines, comments and
// lines that are not of that form.
std::string line_key(const std::string& line, std::string* value = nullptr) {
    const std::string t = vaz::trimmed(line);
    if (t.empty() || t[0] == '#') return {};
    const std::size_t eq = t.find('=');
    if (eq == std::string::npos) return {};
    const std::string key = vaz::trimmed(t.substr(0, eq));
    if (value) *value = vaz::trimmed(t.substr(eq + 1));
    return key;
}

bool looks_damaged(const std::string& text) {
    return text.size() > max_file_bytes || text.find('\0') != std::string::npos;
}

enum class read_status { ok, missing, failed };

read_status read_whole(const std::string& path, std::string& text, std::string& error) {
    text.clear();
    // A named pipe would hold the open (and the program) until someone
    // writes to it: like a folder, it is a file that cannot be read.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) return read_status::missing;
    const audiolayer::regular_file file = audiolayer::open_regular_file(path.c_str());
    if (file.fd < 0) {
        error = file.why;
        return read_status::failed;
    }
    const int fd = file.fd;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            error = std::strerror(errno);
            ::close(fd);
            return read_status::failed;
        }
        text.append(buffer, static_cast<std::size_t>(n));
        // Enough to know it is not a settings file; a device could go on forever.
        if (text.size() > max_file_bytes) break;
    }
    ::close(fd);
    return read_status::ok;
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A settings file that is a link (into a folder of dotfiles, say) is written
// through: the link stays, and the file it leads to is replaced in its own
// folder, where the lock and the temporary file then belong.
std::string through_links(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code ec;
        if (!std::filesystem::is_symlink(std::filesystem::symlink_status(path, ec))) return path;
        const std::filesystem::path to = std::filesystem::read_symlink(path, ec);
        if (ec) return path;
        path = to.is_absolute() ? to.string() : folder_of(path) + "/" + to.string();
    }
    return path;  // a loop: its open says so
}

bool replace_file(const std::string& path, const std::string& text, mode_t mode, std::string& error) {
    const vaz::replace_result r = vaz::replace_file(
        path, path + ".XXXXXX", reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), mode);
    if (r.failed_at == vaz::replace_step::done) return true;
    error = std::string(r.failed_at == vaz::replace_step::create ? "cannot write beside it: " : "cannot write it: ") +
            std::strerror(r.error);
    return false;
}

// A free name beside path for a damaged file: path.damaged, path.damaged.2, ...
std::string aside_name(const std::string& path) {
    for (int n = 1; n < 1000; ++n) {
        const std::string name = path + ".damaged" + (n == 1 ? std::string() : "." + std::to_string(n));
        if (::access(name.c_str(), F_OK) != 0 && errno == ENOENT) return name;
    }
    return {};
}

}  // namespace

std::string settings_path() {
    const std::string dir = config_dir();
    return dir.empty() ? std::string() : dir + "/" + settings_file_name;
}

loaded_settings parse_settings(const std::string& text, const std::string& path) {
    loaded_settings r;
    r.source = settings_source::read;
    const std::string where = "settings file \"" + path + "\"";
    if (looks_damaged(text)) {
        r.source = settings_source::damaged;
        r.warnings.push_back(where + " is damaged (it is not a text file of settings); using the defaults");
        return r;
    }
    const std::vector<std::string> lines = split_lines(text);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string at = where + " line " + std::to_string(i + 1) + ": ";
        const std::string t = vaz::trimmed(lines[i]);
        if (t.empty() || t[0] == '#') continue;
        std::string value;
        const std::string key = line_key(lines[i], &value);
        if (key.empty()) {
            r.warnings.push_back(at + "not \"key = value\"; left out");
            continue;
        }
        if (key == "offset") {
            if (!vaz::parse_whole_number(value.c_str(), vaz::offset_ms_range, r.values.offset_ms)) {
                r.values.offset_ms = default_offset_ms;
                r.warnings.push_back(at + "offset must be a whole number of milliseconds " + vaz::offset_ms_range.text() +
                                     ", not \"" + value + "\"; using " + std::to_string(default_offset_ms));
            }
        } else if (key == "volume") {
            if (!vaz::parse_whole_number(value.c_str(), vaz::volume_range, r.values.volume)) {
                r.values.volume = default_volume;
                r.warnings.push_back(at + "volume must be a whole number " + vaz::volume_range.text() + ", not \"" +
                                     value + "\"; using " + std::to_string(default_volume));
            }
        } else if (key == "effects") {
            if (!vaz::parse_whole_number(value.c_str(), vaz::effects_volume_range, r.values.effects)) {
                r.values.effects = default_effects;
                r.warnings.push_back(at + "effects must be a whole number " + vaz::effects_volume_range.text() +
                                     ", not \"" + value + "\"; using " + std::to_string(default_effects));
            }
        } else if (key == "scale") {
            if (!vaz::parse_whole_number(value.c_str(), scale_range, r.values.scale)) {
                r.values.scale = 1;
                r.warnings.push_back(at + "scale must be 1, 2 or 3, not \"" + value + "\"; using 1");
            }
        } else if (key == "fullscreen") {
            if (value != "yes" && value != "no")
                r.warnings.push_back(at + "fullscreen must be yes or no, not \"" + value + "\"; using no");
            r.values.fullscreen = value == "yes";
        } else if (key == "difficulty") {
            r.values.difficulty = value;
        } else if (key == "edition") {
            // Which editions and difficulties exist is the converter's
            // business; a name it does not know is refused where it is used.
            r.values.edition = value;
        }
        // Other keys belong to someone else: kept, not read.
    }
    return r;
}

loaded_settings read_settings(const std::string& path) {
    std::string text, error;
    switch (read_whole(path, text, error)) {
    case read_status::missing:
        return loaded_settings{};
    case read_status::failed: {
        loaded_settings r;
        r.source = settings_source::unreadable;
        r.warnings.push_back("cannot read the settings file \"" + path + "\": " + error + "; using the defaults");
        return r;
    }
    case read_status::ok:
        break;
    }
    return parse_settings(text, path);
}

std::string set_setting_text(const std::string& text, const std::string& key, int value) {
    return set_setting_text(text, key, std::to_string(value));
}

std::string set_setting_text(const std::string& text, const std::string& key, const std::string& value) {
    std::vector<std::string> lines = split_lines(text);
    const std::string line = key + " = " + value;
    // The last line of the key is the one that counts when the file is read.
    for (std::size_t i = lines.size(); i-- > 0;) {
        if (line_key(lines[i]) == key) {
            lines[i] = line;
            std::string out;
            for (const std::string& l : lines) out += l + "\n";
            return out;
        }
    }
    std::string out = text.empty() ? new_file_header() : text;
    if (out.back() != '\n') out += '\n';
    return out + line + "\n";
}

save_outcome save_setting(const std::string& path, const std::string& key, int value) {
    return save_setting(path, key, std::to_string(value));
}

save_outcome save_setting(const std::string& path, const std::string& key, const std::string& value) {
    save_outcome r;
    if (path.empty()) {
        r.error = "no home folder to keep the settings in (HOME is not set)";
        return r;
    }
    const std::string file = through_links(path);
    const std::string dir = folder_of(file);
    std::string why;
    if (!make_dirs(dir, why)) {
        r.error = "cannot make the settings folder \"" + dir + "\": " + why;
        return r;
    }
    // Held until this function returns: another velmora_play saving at the
    // same time reads the file after this one has replaced it.
    const int lock = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lock >= 0) {
        while (::flock(lock, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    struct unlock {
        int fd;
        ~unlock() {
            if (fd >= 0) ::close(fd);
        }
    } unlock_at_return{lock};

    std::string text, error;
    mode_t mode = 0644;
    switch (read_whole(file, text, error)) {
    case read_status::failed:
        r.error = "cannot read the settings file \"" + path + "\" (" + error + "), so it is left as it is";
        return r;
    case read_status::missing:
        break;
    case read_status::ok: {
        struct stat st {};
        if (::stat(file.c_str(), &st) == 0) {
            if (!S_ISREG(st.st_mode)) {
                r.error = "the settings file \"" + path + "\" is not a regular file, so it is left as it is";
                return r;
            }
            mode = st.st_mode & 07777;
        }
        if (looks_damaged(text)) {
            const std::string aside = aside_name(file);
            if (aside.empty() || ::rename(file.c_str(), aside.c_str()) != 0) {
                r.error = "the settings file \"" + path + "\" is damaged and cannot be moved aside: " +
                          (aside.empty() ? std::string("no free name") : std::strerror(errno));
                return r;
            }
            r.note = "the settings file \"" + path + "\" was damaged; it is kept as \"" + aside +
                     "\" and a new one was written";
            text.clear();
        }
        break;
    }
    }
    if (!replace_file(file, set_setting_text(text, key, value), mode, why)) {
        r.error = "cannot save the settings file \"" + path + "\": " + why;
        return r;
    }
    r.ok = true;
    return r;
}

}  // namespace userfiles
