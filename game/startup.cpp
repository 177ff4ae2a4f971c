#include "game/startup.hpp"

#include <SDL.h>

#include <cstdio>
#include <string>

#include "audiolayer/playback.hpp"
#include "gametask/schedulers.hpp"
#include "pattern/pattern_loader.hpp"
#include "shell/music.hpp"
#include "shell/pattern_store.hpp"
#include "shell/sprites.hpp"
#include "shell/video.hpp"

namespace {

// Every start-up failure ends the game with one line on standard error.
int fail(const std::string& what) {
    std::fprintf(stderr, "velmora: %s\n", what.c_str());
    return 1;
}

std::string describe_sprite_sheet_failure() {
    const std::string& file = sprite_sheet_file();
    if (file.empty()) {
        return "cannot find the sprite sheet \"data/p.bmp\" in the working directory, beside the program or "
               "in the installed data";
    }
    return "sprite sheet \"" + file + "\" is not a readable image";
}

}  // namespace

int open_stage_files(const game_options& o) {
    if (o.demo) return 0;
    const char* music_file = o.music_file.c_str();
    const char* pattern_file = o.pattern_file.c_str();

    if (music_stream != 0) {
        audiolayer::playback::stream_free(music_stream);
        music_stream = 0;
    }
    music_stream = audiolayer::playback::stream_create_file(music_file);
    if (music_stream == 0) {
        return fail(std::string("cannot open music file \"") + music_file + "\": " + audiolayer::playback::last_error());
    }

    const pattern_load_result loaded = load_pattern_file(pattern_file, pattern_groups, pattern_group_count);
    if (loaded.status != pattern_load_status::loaded) return fail(describe_pattern_failure(pattern_file, loaded));
    return 0;
}

int start_stage(const game_options& o) {
    if (o.demo) {
        update_tasks.spawn<gametask::titledemo>();
    } else {
        update_tasks.spawn<gametask::titleready>();
    }

    if (!sprite_sheet.surface_ptr) return fail(describe_sprite_sheet_failure());

    // Mapped through the screen's format: the sheet is a true-colour image in
    // the same channel layout, so the value is the sheet's cyan as well.
    const Uint32 cyan = SDL_MapRGB(window->format, 0, 255, 255);
    SDL_SetColorKey(sprite_sheet.surface_ptr, SDL_SRCCOLORKEY | SDL_RLEACCEL, cyan);
    return 0;
}
