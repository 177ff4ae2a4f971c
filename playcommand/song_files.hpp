#pragma once
#include <string>
#include <vector>

namespace playcommand {

// True for the file name endings of the sound formats the decoder reads
// (.wav, .flac, .ogg, .opus, .mp3, .aiff and their kin), in any letter case.
bool is_song_file_name(const std::string& name);

struct song_search {
    std::vector<std::string> files;  // named files as given, then each folder's songs in name order
    std::vector<std::string> problems;  // folders or entries that could not be read, with the reason
};

// Files named are taken whatever their ending (preparing them says whether
// they decode); folders are walked as the music folders are
// (musicfiles::walk_folder: links followed, each folder once) for entries
// named like songs, every one that is not a folder (preparing a pipe, a
// device or a broken link says why it is no song).
song_search find_songs(const std::vector<std::string>& paths);

}  // namespace playcommand
