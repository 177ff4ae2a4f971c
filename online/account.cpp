#include "online/account.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "userfiles/user_dirs.hpp"
#include "vaz/files.hpp"
#include "vaz/trimmed.hpp"

namespace online {
namespace {

// Far more than three short lines; anything longer is not ours.
constexpr std::streamsize largest_file = 16 * 1024;

}  // namespace

std::string account_path() {
    const std::string dir = userfiles::config_dir();
    return dir.empty() ? std::string() : dir + "/" + account_file_name;
}

std::optional<account> load_account(std::string& problem) {
    const std::string path = account_path();
    if (path.empty()) return std::nullopt;
    return load_account_from(path, problem);
}

std::optional<account> load_account_from(const std::string& path, std::string& problem) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno != ENOENT) problem = "cannot read the online account \"" + path + "\": " + std::strerror(errno);
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(largest_file) + 1, '\0');
    in.read(text.data(), largest_file + 1);
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > static_cast<std::size_t>(largest_file) || text.find('\0') != std::string::npos) {
        problem = "the online account \"" + path + "\" is not one; playing offline";
        return std::nullopt;
    }
    account a;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = vaz::trimmed(line.substr(0, eq)), value = vaz::trimmed(line.substr(eq + 1));
        if (key == "server") a.server = value;
        if (key == "player") a.player = value;
        if (key == "token") a.token = value;
    }
    if (a.server.empty() || a.token.empty()) {
        problem = "the online account \"" + path + "\" names no server or token; playing offline";
        return std::nullopt;
    }
    return a;
}

std::string save_account(const account& a) {
    const std::string path = account_path();
    if (path.empty()) return "no home folder to keep the online account in (HOME is not set)";
    std::string why;
    const std::string dir = userfiles::config_dir();
    if (!userfiles::make_dirs(dir, why)) return "cannot make the config folder \"" + dir + "\": " + why;
    return save_account_to(path, a);
}

std::string save_account_to(const std::string& path, const account& a) {
    for (const std::string* v : {&a.server, &a.player, &a.token})
        if (v->find_first_of("\r\n") != std::string::npos) return "the online account holds a line break";
    const std::string text = "# velmora's scoreboard account; the token is a secret\nserver = " + a.server +
                             "\nplayer = " + a.player + "\ntoken = " + a.token + "\n";
    const vaz::replace_result r = vaz::replace_file(
        path, path + ".XXXXXX", reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), 0600);
    if (r.failed_at != vaz::replace_step::done)
        return "cannot write the online account \"" + path + "\": " + std::strerror(r.error);
    return {};
}

std::string forget_account() {
    const std::string path = account_path();
    if (path.empty() || ::unlink(path.c_str()) == 0 || errno == ENOENT) return {};
    return "cannot remove the online account \"" + path + "\": " + std::strerror(errno);
}

}  // namespace online
