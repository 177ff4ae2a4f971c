#include "game/options.hpp"

#include <cstring>

namespace {

// The text after `name` when arg starts with it.
const char* value_of(const char* arg, const char* name) {
    const std::size_t n = std::strlen(name);
    return std::strncmp(arg, name, n) == 0 ? arg + n : nullptr;
}

// A number option's value; the first bad one is the one reported.
void read_number(const char* text, const char* option, vaz::whole_range range, const char* what, int& value,
                 std::string& why) {
    if (!why.empty() || vaz::parse_whole_number(text, range, value)) return;
    why = std::string(option) + " must be " + what + " " + range.text() + ", not \"" + text + "\"";
}

}  // namespace

game_options read_game_options(int argc, char** argv) {
    game_options o;
    if (argc < 3) return o;
    o.demo = false;
    o.music_file = argv[1];
    o.pattern_file = argv[2];
    std::string bad_offset, bad_align, bad_volume, bad_effects, bad_watch;
    bool ghost_given = false;
    for (int i = 3; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "-window") == 0) {
            o.fullscreen = false;
        } else if (std::strcmp(arg, "-fullscreen") == 0) {
            o.fullscreen = true;
        } else if (const char* ms = value_of(arg, "-offset=")) {
            o.offset_given = true;
            read_number(ms, "-offset", vaz::offset_ms_range, "a whole number of milliseconds", o.offset_ms, bad_offset);
        } else if (const char* align = value_of(arg, "-align=")) {
            read_number(align, "-align", vaz::align_ms_range, "a whole number of milliseconds", o.align_ms, bad_align);
        } else if (const char* n = value_of(arg, "-volume=")) {
            read_number(n, "-volume", vaz::volume_range, "a whole number", o.volume, bad_volume);
        } else if (const char* e = value_of(arg, "-effects=")) {
            read_number(e, "-effects", vaz::effects_volume_range, "a whole number", o.effects, bad_effects);
        } else if (const char* record = value_of(arg, "-record=")) {
            o.replay.record_file = record;
            o.replay.record_given = true;
        } else if (const char* replay = value_of(arg, "-replay=")) {
            o.replay.replay_file = replay;
            o.replay.replay_given = true;
        } else if (const char* ghost = value_of(arg, "-ghost=")) {
            o.ghost.replay_file = ghost;
            ghost_given = true;
        } else if (const char* name = value_of(arg, "-ghost-name=")) {
            o.ghost.name = name;
        } else if (const char* run = value_of(arg, "-ghost-run=")) {
            read_number(run, "-ghost-run", vaz::whole_range{1, 1 << 20}, "a run's number", o.ghost.run, bad_watch);
        } else if (std::strcmp(arg, "-watch") == 0) {
            o.watch.on = true;
        } else if (const char* speed = value_of(arg, "-speed=")) {
            o.watch.on = true;
            std::string why;
            if (!results::parse_watch_speed(speed, o.watch.speed, why) && bad_watch.empty()) bad_watch = "-speed: " + why;
        } else if (const char* link = value_of(arg, "-link=")) {
            o.watch.link = link;
            // Shown on the screen and handed to a clipboard tool: our own
            // scheme and plain printable ASCII only.
            const bool plain =
                (o.watch.link.compare(0, 10, "velmora://") == 0 || o.watch.link.compare(0, 7, "http://") == 0 ||
                 o.watch.link.compare(0, 8, "https://") == 0) &&
                o.watch.link.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789:/.-[]") ==
                    std::string::npos;
            if (!plain && bad_watch.empty()) bad_watch = "-link= takes a run's link, velmora://HOST:PORT/sessions/ID";
        } else if (const char* at = value_of(arg, "-at=")) {
            o.watch.on = true;
            std::string why;
            if (!results::parse_watch_moment(at, o.watch.at_ms, why) && bad_watch.empty()) bad_watch = "-at: " + why;
        }
    }
    if (bad_watch.empty() && ghost_given && o.ghost.replay_file.empty()) bad_watch = "-ghost= needs a replay file";
    if (bad_watch.empty() && o.watch.on && !o.replay.replay_given) bad_watch = "watching needs -replay=FILE";
    if (bad_watch.empty() && !o.watch.link.empty() && !o.watch.on) bad_watch = "-link= goes with -watch";
    if (bad_watch.empty() && o.watch.on && o.replay.record_given) bad_watch = "a replay being watched is not recorded";
    o.why = !bad_offset.empty()  ? bad_offset
            : !bad_align.empty() ? bad_align
            : !bad_volume.empty() ? bad_volume : !bad_effects.empty() ? bad_effects : bad_watch;
    o.ok = o.why.empty();
    return o;
}
