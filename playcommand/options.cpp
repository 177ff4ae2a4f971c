#include "playcommand/options.hpp"

#include <utility>
#include <vector>

#include "results/watch_pace.hpp"
#include "vaz/limits.hpp"

namespace playcommand {
namespace {

// Threads for preparing: far more than any machine has cores.
constexpr vaz::whole_range job_range{1, 1024};

}  // namespace

std::string usage_text() {
    const vaz::whole_range& offset = vaz::offset_ms_range;
    return "usage: velmora_play [options] [SONG...]\n"
           "       velmora_play --prepare [options] SONG|FOLDER...\n"
           "       velmora_play --replay [options] SONG\n"
           "       velmora_play --watch FILE.vrp [--at SECONDS] [--speed X] [--ghost G]\n"
           "       velmora_play [--watch] velmora://HOST[:PORT]/sessions/ID[?t=SECONDS]\n"
           "       velmora_play --list [--sort KEY]\n"
           "       velmora_play --search TEXT [--sort KEY]\n"
           "       velmora_play --add FOLDER... | --folders | --forget FOLDER | --scan\n"
           "       velmora_play --show SONG\n"
           "       velmora_play --calibrate\n"
           "       velmora_play --volume N\n"
           "       velmora_play --online URL --player NAME | --offline\n"
           "       velmora_play --submit [--all] | --board [options] SONG\n"
           "\n"
           "Plays SONG (WAV, FLAC, Ogg, Opus, MP3, AIFF...; the first of several) on the\n"
           "game's library screen, preparing its stage first unless the stage cache has\n"
           "it. Every finished run is recorded and ends on the screen's result panel\n"
           "beside the best it had to beat; the best run's replay is kept, and the song\n"
           "is added to the song library. Without a song the library screen opens\n"
           "alone: choose a song, play, see the bests, change the settings, all in one\n"
           "window.\n"
           "\n"
           "  --edition E                  the converter's edition (the saved one, else\n"
           "                               " + std::string(userfiles::default_edition) + "): " + converter::edition_names() + "\n"
           "  --difficulty D               easy, normal or hard (the saved one, else\n"
           "                               " + userfiles::default_difficulty + "; hard is the edition's full density)\n"
           "  --fullscreen                 play in full screen instead of a window\n"
           "  --prepare                    prepare the songs, and every song in the\n"
           "                               folders and their subfolders, without playing\n"
           "  --jobs N                     use at most N threads (one per core)\n"
           "  --replay                     play back the best run of SONG in the edition\n"
           "  --show SONG                  open the library screen with SONG listed and\n"
           "                               highlighted, without playing it\n"
           "  --watch FILE.vrp             watch a replay, its stage and song found again\n"
           "                               through the stage cache and the song library\n"
           "  --watch LINK                 watch a run on a scoreboard server from its link,\n"
           "                               velmora://HOST[:PORT]/sessions/ID[?t=SECONDS]\n"
           "                               (port 8029 unless given) or the server's web\n"
           "                               address http[s]://HOST[:PORT]/sessions/ID; the\n"
           "                               song must be in your library\n"
           "  --at SECONDS                 watch from that moment (60, 1:01.5)\n"
           "  --speed X                    watch at X times the pace played (0.25 to 8);\n"
           "                               while watching: [ ] speed, Space pause, . step,\n"
           "                               Left and Right 5 s back and forward\n"
           "  --ghost best|top|FILE.vrp    race another run of the stage beside yours (or\n"
           "                               beside the run watched): your best, the\n"
           "                               board's first run, or a replay file\n"
           "  --list                       print the song library with each song's best\n"
           "  --sort title|artist|album|added|played|best\n"
           "                               the order of --list (last played first) and\n"
           "                               --search (title)\n"
           "  --search TEXT                print the songs whose title, artist, album or\n"
           "                               file name hold every word of TEXT\n"
           "  --add FOLDER...              remember music folders and scan them\n"
           "  --folders                    print the remembered folders\n"
           "  --forget FOLDER              forget a folder (its songs' results stay)\n"
           "  --scan                       scan every remembered folder again; Ctrl-C\n"
           "                               stops, keeping what was scanned\n"
           "  --offset MS                  fire the bullets MS milliseconds later (" + std::to_string(offset.low) +
           " to\n"
           "                               " + std::to_string(offset.high) +
           ") in this run, in place of the saved offset\n"
           "  --volume N                   play the music at N percent (" + vaz::volume_range.span() + ") from now\n"
           "                               on; saved, and without a song only saved\n"
           "  --calibrate                  measure the offset of your speakers or\n"
           "                               headphones by pressing Space on clicks; saved\n"
           "  --online URL --player NAME   share runs on the scoreboard server at URL\n"
           "                               (http:// or https://) as NAME: registers once\n"
           "                               and keeps the token; from then on every\n"
           "                               finished session is sent in the background\n"
           "  --offline                    forget the server and the token\n"
           "  --submit                     send the queued sessions now and print each\n"
           "                               session's state\n"
           "  --all                        with --submit: first queue the best runs kept\n"
           "                               before a server was set, once each\n"
           "  --board SONG                 print the server's board of SONG's stage in\n"
           "                               the edition and difficulty\n"
           "  --help                       print this help\n"
           "  --version                    print the version\n"
           "\n"
           "Stages are kept in $XDG_CACHE_HOME/velmora (~/.cache/velmora), the song\n"
           "library, results and replays in $XDG_DATA_HOME/velmora\n"
           "(~/.local/share/velmora), the offset, the volume, the edition and the\n"
           "difficulty in $XDG_CONFIG_HOME/velmora/settings.conf (~/.config/velmora).\n"
           "Exit status: 0 on success, 1 on any failure, 2 on bad usage.\n";
}

void follow_saved_stage(play_options& o, const userfiles::settings& saved, std::vector<std::string>& warnings) {
    if (!o.edition_given) {
        if (const auto ed = edition_from_name(saved.edition))
            o.edition = *ed;
        else
            warnings.push_back("settings: unknown edition \"" + saved.edition + "\"; using " +
                               edition_name(o.edition));
    }
    if (!o.difficulty_given) {
        if (const auto d = converter::difficulty_from_name(saved.difficulty))
            o.difficulty = *d;
        else
            warnings.push_back("settings: unknown difficulty \"" + saved.difficulty + "\"; using " +
                               converter::difficulty_name(o.difficulty));
    }
}

// The commands and switches given, each at most once.
struct modes {
    bool prepare = false, list = false, replay = false, help = false, version = false, calibrate = false;
    bool show = false, add = false, show_folders = false, forget = false, scan = false, search = false;
    bool online = false, offline = false, submit = false, board = false, watch = false;
};

// The options that take no value, and what each turns on; null for others.
bool* switch_named(const std::string& name, modes& m, play_options& o) {
    const std::pair<const char*, bool*> switches[] = {
        {"--offline", &m.offline}, {"--submit", &m.submit},     {"--all", &o.all},
        {"--board", &m.board},     {"--add", &m.add},           {"--folders", &m.show_folders},
        {"--forget", &m.forget},   {"--scan", &m.scan},         {"--calibrate", &m.calibrate},
        {"--fullscreen", &o.fullscreen}, {"--prepare", &m.prepare}, {"--list", &m.list},
        {"--show", &m.show},       {"--replay", &m.replay},     {"--watch", &m.watch},
        {"--help", &m.help},       {"-h", &m.help},             {"--version", &m.version},
    };
    for (const auto& [n, on] : switches)
        if (name == n) return on;
    return nullptr;
}

// What the command line asks for, once every argument is read; "" or why
// it cannot be done.
std::string choose_command(const modes& m, play_options& o) {
    if (m.help) {
        o.what = command::help;
    } else if (m.version) {
        o.what = command::version;
    } else if (m.prepare + m.list + m.replay + m.show + m.calibrate + m.add + m.show_folders + m.forget + m.scan +
                   m.search + m.online + m.offline + m.submit + m.board + m.watch > 1) {
        std::vector<std::string> given;
        for (const auto& [on, name] :
             {std::pair<bool, const char*>{m.prepare, "--prepare"}, {m.list, "--list"}, {m.replay, "--replay"}, {m.show, "--show"},
              {m.calibrate, "--calibrate"}, {m.add, "--add"}, {m.show_folders, "--folders"}, {m.forget, "--forget"},
              {m.scan, "--scan"}, {m.search, "--search"}, {m.online, "--online"}, {m.offline, "--offline"},
              {m.submit, "--submit"}, {m.board, "--board"}, {m.watch, "--watch"}})
            if (on) given.push_back(name);
        return given[0] + " and " + given[1] + " cannot be combined";
    } else if ((m.prepare || m.list || m.show || m.calibrate || m.add || m.show_folders || m.forget || m.scan || m.search) &&
               (o.offset_ms || o.volume)) {
        return (std::string(o.offset_ms ? "--offset" : "--volume") + " is for playing; it does not go with " +
                   (m.prepare ? "--prepare" : m.list ? "--list" : m.show ? "--show" : m.calibrate ? "--calibrate" : m.add ? "--add"
                    : m.show_folders ? "--folders" : m.forget ? "--forget" : m.scan ? "--scan" : "--search"));
    } else if (o.link) {
        if (!o.songs.empty() || m.prepare || m.list || m.replay || m.show || m.calibrate || m.add || m.show_folders ||
            m.forget || m.scan || m.search || m.online || m.offline || m.submit || m.board)
            return "a run's link is watched alone: it takes no songs or files, and no command but --watch";
        o.what = command::watch;
        // --at given as well wins over the link's moment.
        if (!o.watch_at_ms) {
            o.watch_at_ms = o.link->at_ms;
            o.at_from_link = o.link->at_ms.has_value();
        }
    } else if ((o.watch_speed || o.watch_at_ms) && !m.watch) {
        return std::string(o.watch_speed ? "--speed" : "--at") + " goes with --watch";
    } else if (m.watch) {
        if (o.songs.size() != 1) return "--watch takes one replay file";
        o.what = command::watch;
    } else if (o.sort && !m.list && !m.search) {
        return "--sort goes with --list or --search";
    } else if (!o.player.empty() && !m.online) {
        return "--player goes with --online";
    } else if (o.all && !m.submit) {
        return "--all goes with --submit";
    } else if (m.online || m.offline || m.submit) {
        if (!o.songs.empty() || o.offset_ms || o.volume)
            return std::string(m.online ? "--online" : m.offline ? "--offline" : "--submit") + " takes nothing else";
        if (m.online && o.player.empty()) return "--online needs --player NAME, your name on the server";
        o.what = m.online ? command::go_online : m.offline ? command::go_offline : command::submit;
    } else if (m.board) {
        if (o.songs.size() != 1 || o.offset_ms || o.volume) return "--board takes one song";
        o.what = command::board;
    } else if (m.add) {
        if (o.songs.empty()) return "--add needs one or more folders";
        o.what = command::add;
    } else if (m.show_folders || m.scan) {
        if (!o.songs.empty()) return std::string(m.scan ? "--scan" : "--folders") + " takes no folders";
        o.what = m.scan ? command::scan : command::folders;
    } else if (m.forget) {
        if (o.songs.size() != 1) return "--forget takes one folder";
        o.what = command::forget;
    } else if (m.search) {
        if (!o.songs.empty()) return "--search takes one text; put quotes around words with spaces between them";
        o.what = command::search;
    } else if (m.calibrate) {
        if (!o.songs.empty()) return "--calibrate takes no songs";
        o.what = command::calibrate;
    } else if (m.list) {
        if (!o.songs.empty()) return "--list takes no songs";
        o.what = command::list;
    } else if (m.prepare) {
        if (o.songs.empty()) return "--prepare needs songs or folders";
        o.what = command::prepare;
    } else if (m.show) {
        if (o.songs.size() != 1) return "--show takes one song";
        o.what = command::library;
    } else if (m.replay) {
        if (o.songs.size() != 1) return "--replay takes one song";
        o.what = command::replay;
    } else if (o.volume && !o.offset_ms && o.songs.empty()) {
        o.what = command::set_volume;
    } else {
        // A file manager opening several songs with the game passes them
        // all: the first is played. No song at all is the library screen;
        // an offset is for one run of a song.
        if (o.songs.empty() && o.offset_ms) return "no song given for --offset";
        o.what = o.songs.empty() ? command::library : command::play;
    }
    return {};
}

namespace {

// What an option taking a value says when it has none; "" for any other.
std::string what_it_needs(const std::string& name) {
    if (name == "--edition") return "--edition needs " + converter::edition_names();
    if (name == "--difficulty") return "--difficulty needs easy, normal or hard";
    if (name == "--jobs") return "--jobs needs a number of threads";
    if (name == "--offset") return "--offset needs a number of milliseconds " + vaz::offset_ms_range.text();
    if (name == "--volume") return "--volume needs a number " + vaz::volume_range.text();
    if (name == "--speed") return "--speed needs a speed, 0.25 to 8";
    if (name == "--at") return "--at needs a moment in seconds";
    if (name == "--search") return "--search needs the text to look for";
    if (name == "--sort") return "--sort needs title, artist, album, added, played or best";
    if (name == "--online") return "--online needs the server's address, http://HOST:PORT";
    if (name == "--ghost") return "--ghost needs best, top or a replay file";
    if (name == "--player") return "--player needs your name on the server";
    return {};
}

// One option's value into the options; "" or why it is refused.
std::string take_option_value(const std::string& name, const std::string& value, play_options& o, modes& m) {
    if (name == "--edition") {
        const auto ed = edition_from_name(value);
        if (!ed) return "unknown edition \"" + value + "\"; it is " + converter::edition_names();
        o.edition = *ed;
        o.edition_given = true;
    } else if (name == "--difficulty") {
        const auto d = converter::difficulty_from_name(value);
        if (!d) return "unknown difficulty \"" + value + "\"; it is easy, normal or hard";
        o.difficulty = *d;
        o.difficulty_given = true;
    } else if (name == "--jobs") {
        int n = 0;
        if (!vaz::parse_whole_number(value.c_str(), job_range, n))
            return "--jobs takes a number " + job_range.text() + ", not \"" + value + "\"";
        o.jobs = static_cast<unsigned>(n);
    } else if (name == "--offset" || name == "--volume") {
        const bool offset = name == "--offset";
        const vaz::whole_range& range = offset ? vaz::offset_ms_range : vaz::volume_range;
        int n = 0;
        if (!vaz::parse_whole_number(value.c_str(), range, n))
            return name + " takes a whole " + (offset ? "number of milliseconds " : "number ") + range.text() +
                   ", not \"" + value + "\"";
        (offset ? o.offset_ms : o.volume) = n;
    } else if (name == "--speed" || name == "--at") {
        std::string why;
        int speed = 0;
        std::int64_t ms = 0;
        if (name == "--speed" ? !results::parse_watch_speed(value, speed, why) : !results::parse_watch_moment(value, ms, why))
            return name + ": " + why;
        if (name == "--speed") o.watch_speed = speed;
        else o.watch_at_ms = ms;
    } else if (name == "--search") {
        m.search = true;
        o.search = value;
    } else if (name == "--sort") {
        o.sort = musicindex::parse_sort_order(value);
        if (!o.sort) return "unknown order \"" + value + "\"; it is title, artist, album, added, played or best";
    } else if (name == "--online") {
        m.online = true;
        o.server = value;
    } else if (name == "--ghost") {
        if (value.empty()) return what_it_needs(name);
        o.ghost = value;
    } else if (name == "--player") {
        o.player = value;
    }
    return {};
}

}  // namespace

parsed_options parse_options(int argc, const char* const* argv) {
    parsed_options r;
    play_options& o = r.options;
    modes m;
    auto bad = [&](std::string why) {
        r.ok = false;
        r.error = std::move(why);
        return r;
    };

    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options_end || arg.size() < 2 || arg[0] != '-') {
            if (!looks_like_url(arg)) {
                o.songs.push_back(arg);
            } else if (const std::string path = file_url_path(arg); !path.empty()) {
                o.songs.push_back(path);  // a desktop entry's %U hands files over as file:// URLs
            } else if (o.link) {
                return bad("one run's link at a time");
            } else if (std::string why = parse_run_link(arg, o.link.emplace()); !why.empty()) {
                o.link.reset();
                return bad(std::move(why));
            }
            continue;
        }
        if (arg == "--") {
            options_end = true;
            continue;
        }
        // "--name=value" or "--name value" for the options taking a value.
        std::string name = arg, value;
        bool has_value = false;
        const std::size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            has_value = true;
        }
        if (const std::string needs = what_it_needs(name); !needs.empty()) {
            if (!has_value && i + 1 >= argc) return bad(needs);
            if (!has_value) value = argv[++i];
            if (std::string why = take_option_value(name, value, o, m); !why.empty()) return bad(std::move(why));
        } else if (bool* on = switch_named(name, m, o); on && !has_value) {
            *on = true;
        } else {
            return bad("unknown option \"" + arg + "\"");
        }
    }

    if (std::string why = choose_command(m, o); !why.empty()) return bad(std::move(why));
    if (!o.ghost.empty() && o.what != command::play && o.what != command::watch)
        return bad("--ghost goes with playing a song or with --watch");
    r.ok = true;
    return r;
}

}  // namespace playcommand
