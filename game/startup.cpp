#include "game/startup.hpp"

#include <SDL.h>

#include <string>

#include "audiolayer/playback.hpp"
#include "gametask/update_walk.hpp"
#include "pattern/pattern_loader.hpp"
#include "shell/music.hpp"
#include "shell/pattern_store.hpp"
#include "shell/sprites.hpp"
#include "shell/video.hpp"

namespace {

std::string describe_sprite_sheet_failure() {
    const std::string& file = sprite_sheet_file();
    if (file.empty()) {
        return "cannot find the sprite sheet \"data/p.bmp\" in the working directory, beside the program or "
               "in the installed data";
    }
    return "sprite sheet \"" + file + "\" is not a readable image";
}

}  // namespace

std::string open_stage_files(const std::string& music_file, const std::string& pattern_file) {
    if (music_file.empty() && pattern_file.empty()) return {};

    if (music_stream != 0) {
        audiolayer::playback::stream_free(music_stream);
        music_stream = 0;
    }
    music_stream = audiolayer::playback::stream_create_file(music_file.c_str());
    if (music_stream == 0) {
        return "cannot open music file \"" + music_file + "\": " + audiolayer::playback::last_error();
    }

    const pattern_load_result loaded = load_pattern_file(pattern_file.c_str(), pattern_groups, pattern_group_count);
    if (loaded.status != pattern_load_status::loaded) return describe_pattern_failure(pattern_file.c_str(), loaded);
    return {};
}

std::string start_stage(bool demo) {
    gametask::spawn_first_flow_task(demo);

    if (!sprite_sheet.surface_ptr) return describe_sprite_sheet_failure();

    // Mapped through the screen's format: the sheet is a true-colour image in
    // the same channel layout, so the value is the sheet's cyan as well.
    const Uint32 cyan = SDL_MapRGB(window->format, 0, 255, 255);
    SDL_SetColorKey(sprite_sheet.surface_ptr, SDL_SRCCOLORKEY | SDL_RLEACCEL, cyan);
    return {};
}
