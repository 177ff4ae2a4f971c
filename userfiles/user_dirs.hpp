#pragma once
#include <string>

namespace userfiles {

// The per-user folders of the XDG base directory rules, with "velmora"
// appended: $XDG_CACHE_HOME/velmora (else ~/.cache/velmora) for prepared
// stages, $XDG_DATA_HOME/velmora (else ~/.local/share/velmora) for the song
// library, $XDG_CONFIG_HOME/velmora (else ~/.config/velmora) for settings.
// A variable holding a relative path is ignored, as the rules say. Empty when
// there is no home folder to fall back on.
std::string cache_dir();
std::string data_dir();
std::string config_dir();

// Creates the folder and its parents; false with the system's reason.
bool make_dirs(const std::string& path, std::string& error);

}  // namespace userfiles
