#include "playcommand/song_files.hpp"

#include "musicfiles/walk.hpp"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace playcommand {

bool is_song_file_name(const std::string& name) { return musicfiles::is_music_file_name(name); }

song_search find_songs(const std::vector<std::string>& paths) {
    song_search found;
    for (const std::string& p : paths) {
        std::error_code ec;
        if (!std::filesystem::is_directory(p, ec)) {
            found.files.push_back(p);
            continue;
        }
        // The music folders' one walker; its paths are given back as the
        // folder was named.
        const std::string root = musicfiles::normal_path(p);
        std::string named = p;
        while (named.size() > 1 && named.back() == '/') named.pop_back();
        auto as_named = [&](const std::string& path) { return root == "/" ? named + path : named + path.substr(root.size()); };
        musicfiles::walk_visits visits;
        const musicfiles::walk_result walked = musicfiles::walk_folder(root, visits);
        std::vector<std::string> in_folder;
        for (const musicfiles::found_file& f : walked.files) in_folder.push_back(as_named(f.path));
        for (const musicfiles::skipped_entry& e : walked.skipped) {
            switch (e.reason) {
            // Named like songs but none: listed, for their preparation to say why.
            case musicfiles::skip_reason::not_regular_file:
            case musicfiles::skip_reason::broken_link:
            case musicfiles::skip_reason::vanished:
                in_folder.push_back(as_named(e.path));
                break;
            case musicfiles::skip_reason::unreadable_folder:
            case musicfiles::skip_reason::too_deep:
                found.problems.push_back("cannot read the folder \"" + as_named(e.path) + "\"" +
                                         (e.detail.empty() ? "" : ": " + e.detail));
                break;
            default:
                break;
            }
        }
        std::sort(in_folder.begin(), in_folder.end());
        found.files.insert(found.files.end(), in_folder.begin(), in_folder.end());
    }
    return found;
}

}  // namespace playcommand
