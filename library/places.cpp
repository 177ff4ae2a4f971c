#include "library/places.hpp"

#include "userfiles/user_dirs.hpp"

namespace library {
namespace {

constexpr const char* library_file = "library.sqlite3";

}  // namespace

std::string library_path() {
    const std::string dir = userfiles::data_dir();
    return dir.empty() ? std::string() : dir + "/" + library_file;
}

std::string replays_dir() {
    const std::string dir = userfiles::data_dir();
    return dir.empty() ? std::string() : dir + "/replays";
}

std::string downloads_dir() {
    const std::string dir = userfiles::data_dir();
    return dir.empty() ? std::string() : dir + "/downloads";
}

std::unique_ptr<song_library> open_library(std::string& problem) {
    const std::string dir = userfiles::data_dir();
    std::string why;
    if (!userfiles::make_dirs(dir, why)) {
        problem = "cannot make the folder of the song library \"" + dir + "\": " + why;
        return nullptr;
    }
    try {
        return std::make_unique<song_library>(dir + "/" + library_file);
    } catch (const library_error& e) {
        problem = e.what();
        return nullptr;
    }
}

}  // namespace library
