#include "playcommand/song_files.hpp"

#include "musicfiles/walk.hpp"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace playcommand {

bool is_song_file_name(const std::string& name) { return musicfiles::is_music_file_name(name); }

song_search find_songs(const std::vector<std::string>& paths) {
    namespace fs = std::filesystem;
    song_search found;
    for (const std::string& p : paths) {
        std::error_code ec;
        if (!fs::is_directory(p, ec)) {
            found.files.push_back(p);
            continue;
        }
        std::vector<std::string> in_folder;
        fs::recursive_directory_iterator it(p, fs::directory_options::skip_permission_denied, ec), end;
        if (ec) {
            found.problems.push_back("cannot read the folder \"" + p + "\": " + ec.message());
            continue;
        }
        for (; it != end; it.increment(ec)) {
            if (ec) {
                found.problems.push_back("cannot read the folder \"" + p + "\": " + ec.message());
                break;
            }
            // Whatever is named like a song and is no folder is taken, so that
            // a pipe, a device or a broken link is reported by its preparation
            // rather than passed over in silence.
            std::error_code type_ec;
            if (!it->is_directory(type_ec) && is_song_file_name(it->path().filename().string()))
                in_folder.push_back(it->path().string());
        }
        std::sort(in_folder.begin(), in_folder.end());
        found.files.insert(found.files.end(), in_folder.begin(), in_folder.end());
    }
    return found;
}

}  // namespace playcommand
