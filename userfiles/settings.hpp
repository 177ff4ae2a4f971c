#pragma once
#include <string>
#include <vector>

#include "vaz/limits.hpp"

// The player's settings: a small text file, settings.conf in the config
// folder (user_dirs.hpp), one "key = value" a line, '#' starting a comment:
//
//   # velmora settings
//   offset = 35
//   volume = 80
//
// offset: milliseconds (vaz::offset_ms_range), positive fires the bullets later.
// volume: the music's volume in percent (vaz::volume_range).
// edition: the converter's edition the stages are for (default_edition);
// difficulty: easy, normal or hard, as velmora_bc's --difficulty
// (default_difficulty); both for the library screen and velmora_play's
// songs unless its --edition or --difficulty says otherwise.
// The library screen's, which velmora_play does not read:
// effects: the sound effects' volume in its sessions (vaz::effects_volume_range);
// fullscreen: yes or no; scale: its window at 1, 2 or 3 times 640x480.
//
// Lines this version does not understand (another key, a line that is not
// "key = value") are kept as they are when a value is saved, so a newer
// velmora's settings and a user's notes survive. A bad value or line is
// reported and its default used; the file is never rewritten because it was
// read.
namespace userfiles {

constexpr const char* settings_file_name = "settings.conf";
// The ranges are vaz::offset_ms_range and vaz::volume_range.
constexpr int default_offset_ms = 0;
constexpr int default_volume = vaz::volume_range.high;
// The library screen's sessions sound their effects unless turned down.
constexpr int default_effects = 60;
// The stage a new player starts on, in velmora_play and the library screen:
// the edition that follows the music's loudness, at half its density. A
// file that names an edition or a difficulty keeps it.
constexpr const char* default_edition = "dynamics";
constexpr const char* default_difficulty = "normal";
constexpr vaz::whole_range scale_range{1, 3};

struct settings {
    int offset_ms = default_offset_ms;
    int volume = default_volume;
    int effects = default_effects;
    std::string edition = default_edition;
    std::string difficulty = default_difficulty;
    bool fullscreen = false;
    int scale = 1;
};

enum class settings_source {
    missing,     // no file: the defaults
    read,        // read; warnings may name lines that were left out
    damaged,     // not a text file (NUL bytes, far too long): the defaults
    unreadable,  // could not be read (permissions, a folder): the defaults
};

struct loaded_settings {
    settings values;
    settings_source source = settings_source::missing;
    std::vector<std::string> warnings;  // each a whole sentence naming the file
};

// The file settings.conf in the config folder; empty when there is no home folder.
std::string settings_path();

// Parses a file's text; path only names the file in the warnings.
loaded_settings parse_settings(const std::string& text, const std::string& path);
loaded_settings read_settings(const std::string& path);

// The text with the key's last line set to value (appended when the key has
// no line; a new file starts with a comment saying what the keys mean).
std::string set_setting_text(const std::string& text, const std::string& key, int value);
std::string set_setting_text(const std::string& text, const std::string& key, const std::string& value);

struct save_outcome {
    bool ok = false;
    std::string error;  // why nothing was saved
    std::string note;   // something the user should know although it worked
};

// Sets one key in the file, reading it afresh under a lock of its folder (so
// two savers lose neither's value) and writing it to a temporary name that is
// fsynced and renamed over it. A file that cannot be read is left alone and
// nothing is saved; a damaged one is first renamed aside (said in the note).
save_outcome save_setting(const std::string& path, const std::string& key, int value);
save_outcome save_setting(const std::string& path, const std::string& key, const std::string& value);

}  // namespace userfiles
