#include "userfiles/user_dirs.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace userfiles {
namespace {

std::string home_dir() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return home;
    // No usable $HOME (a service, a stripped environment): ask the user database.
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] == '/')
        return found->pw_dir;
    return {};
}

std::string xdg_dir(const char* variable, const char* fallback_under_home) {
    const char* value = std::getenv(variable);
    if (value != nullptr && value[0] == '/') return std::string(value) + "/velmora";
    const std::string home = home_dir();
    if (home.empty()) return {};
    return home + "/" + fallback_under_home + "/velmora";
}

}  // namespace

std::string cache_dir() { return xdg_dir("XDG_CACHE_HOME", ".cache"); }
std::string data_dir() { return xdg_dir("XDG_DATA_HOME", ".local/share"); }
std::string config_dir() { return xdg_dir("XDG_CONFIG_HOME", ".config"); }

bool make_dirs(const std::string& path, std::string& error) {
    if (path.empty()) {
        error = "no home folder to keep it in (HOME is not set)";
        return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec) {
        error = ec.message();
        return false;
    }
    return true;
}

}  // namespace userfiles
