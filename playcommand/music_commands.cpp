#include "playcommand/music_commands.hpp"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "playcommand/song_table.hpp"
#include "vaz/clock_text.hpp"
#include "musicfiles/scan_progress.hpp"
#include "musicfiles/text.hpp"
#include "musicfiles/walk.hpp"
#include "musicindex/store.hpp"
#include "results/replay_file.hpp"
#include "sqlite/sql.hpp"

namespace playcommand {
namespace {

constexpr const char* prefix = "velmora_play: ";
// Skipped entries named one by one; the summary counts the rest.
constexpr std::size_t named_skips = 20;

std::string quoted(const std::string& path) { return "\"" + printable(path) + "\""; }

void say(const music_output& o, const std::string& line) {
    std::fprintf(o.err, "%s%s\n", prefix, printable(line).c_str());
}

int flushed(const music_output& o, int status) { return std::fflush(o.out) == 0 ? status : 1; }

const char* folder_problem(musicfiles::folder_state state) {
    switch (state) {
        case musicfiles::folder_state::not_found: return "is not there; its songs are kept as missing";
        case musicfiles::folder_state::not_mounted:
            return "is empty or on another disk than it was (not mounted?); its songs are kept as missing";
        case musicfiles::folder_state::unreadable: return "cannot be read; its songs are left as they were";
        default: return nullptr;
    }
}

// Scans with the progress on `err`, then reports on `out` what it found:
// the summary with the skipped counted by reason, the folders that could
// not be scanned, and the first skipped entries by name.
int run_scan(sqlite3* db, const std::vector<std::string>& folders, const music_output& o, std::int64_t now) {
    musicfiles::scan_progress_printer printer(o.err, o.terminal, prefix);
    musicfiles::scan_options options;
    options.threads = std::max(1u, o.threads);
    options.stop = o.stop;
    options.progress = [&](const musicfiles::scan_counts& c) { printer.update(c); };
    const musicfiles::scan_report report = musicindex::scan(db, folders, {}, options, now);
    printer.finish(report.counts);

    std::string text = musicfiles::summary_text(report);
    int status = 0;
    for (const musicfiles::folder_outcome& f : report.folders) {
        if (const char* problem = folder_problem(f.state)) {
            text += "  the folder " + quoted(f.path) + " " + problem + (f.detail.empty() ? "" : " (" + printable(f.detail) + ")") + "\n";
            status = 1;
        }
    }
    std::vector<const musicfiles::skipped_entry*> named;
    for (const musicfiles::skipped_entry& s : report.skipped) {
        // A remembered folder that cannot be read has had its line.
        const bool said = std::any_of(report.folders.begin(), report.folders.end(), [&](const musicfiles::folder_outcome& f) {
            return f.state == musicfiles::folder_state::unreadable && f.path == s.path;
        });
        if (!said) named.push_back(&s);
    }
    for (std::size_t i = 0; i < named.size() && i < named_skips; ++i) {
        const musicfiles::skipped_entry& s = *named[i];
        text += "  skipped " + quoted(s.path) + ": " + musicfiles::describe(s.reason) +
                (s.detail.empty() ? "" : " (" + printable(s.detail) + ")") + "\n";
    }
    if (named.size() > named_skips) text += "  and " + std::to_string(named.size() - named_skips) + " more skipped\n";
    std::fputs(text.c_str(), o.out);
    return flushed(o, report.stopped ? stopped_status : status);
}

std::string best_cell(const std::optional<musicindex::best_run>& best) {
    if (!best) return "-";
    return results::ratio_text(static_cast<float>(best->ratio)) + "/" + std::to_string(best->hits);
}

constexpr std::size_t album_width = 20;

}  // namespace

std::string title_of(const library::song_row& s, const std::map<std::string, musicindex::song_entry>& tags) {
    const auto t = tags.find(s.hash);
    return t != tags.end() ? t->second.title : musicfiles::title_from_file_name(s.path);
}

const musicindex::song_entry* tags_of(const library::song_row& s,
                                     const std::map<std::string, musicindex::song_entry>& tags) {
    const auto t = tags.find(s.hash);
    return t == tags.end() ? nullptr : &t->second;
}

int add_music_folders(sqlite3* db, const std::vector<std::string>& folders, const music_output& o, std::int64_t now) {
    std::vector<std::string> added;
    int status = 0;
    for (const std::string& given : folders) {
        struct stat st {};
        if (::stat(given.c_str(), &st) != 0) {
            say(o, "cannot add " + quoted(given) + ": " + std::strerror(errno));
            status = 1;
            continue;
        }
        if (!S_ISDIR(st.st_mode)) {
            say(o, "cannot add " + quoted(given) + ": not a folder (play or --prepare a song file)");
            status = 1;
            continue;
        }
        const std::string path = musicfiles::normal_path(given);
        if (!musicindex::add_folder(db, path, now)) say(o, quoted(path) + " is remembered already; scanning it again");
        added.push_back(path);
    }
    if (added.empty()) return 1;
    const int scanned = run_scan(db, added, o, now);
    return scanned != 0 ? scanned : status;
}

int scan_music(sqlite3* db, const music_output& o, std::int64_t now) {
    if (musicindex::folders(db).empty() && musicindex::known_files(db).empty()) {
        std::fputs("No music folders are remembered yet: add some with --add FOLDER.\n", o.out);
        return flushed(o, 0);
    }
    return run_scan(db, {}, o, now);
}

int print_music_folders(sqlite3* db, const music_output& o) {
    const std::vector<musicindex::folder_row> rows = musicindex::folders(db);
    if (rows.empty()) {
        std::fputs("No music folders are remembered yet: add some with --add FOLDER.\n", o.out);
        return flushed(o, 0);
    }
    std::fprintf(o.out, "%7s %7s  %-16s  %s\n", "FILES", "MISSING", "SCANNED", "FOLDER");
    for (const musicindex::folder_row& f : rows)
        std::fprintf(o.out, "%7lld %7lld  %-16s  %s\n", static_cast<long long>(f.files),
                     static_cast<long long>(f.missing), time_text(f.scanned_at, "never").c_str(),
                     printable(f.path).c_str());
    return flushed(o, 0);
}

int forget_music_folder(sqlite3* db, const std::string& folder, const music_output& o) {
    const std::string path = musicfiles::normal_path(folder);
    if (!musicindex::forget_folder(db, path)) {
        say(o, quoted(path) + " is not a remembered folder (--folders lists them)");
        return 1;
    }
    std::fprintf(o.out, "Forgot %s; the results of its songs are kept.\n", quoted(path).c_str());
    return flushed(o, 0);
}

int print_search(sqlite3* db, const std::string& text, const musicindex::song_query& query, const music_output& o) {
    const std::vector<musicindex::song_entry> found = musicindex::search_songs(db, text, query);
    if (found.empty()) {
        std::fprintf(o.out, "No song matches %s.\n", quoted(text).c_str());
        return flushed(o, 1);
    }
    std::fputs(format_music_table(found).c_str(), o.out);
    return flushed(o, 0);
}

void remember_song_file(sqlite3* db, const std::string& path, const std::string& song_hash, std::int64_t now) {
    const std::string file = musicfiles::normal_path(path);
    musicfiles::scan_options quiet;
    quiet.threads = 1;
    musicindex::scan(db, {}, {file}, quiet, now);
    musicindex::set_song_hash(db, file, song_hash);
}

std::string format_music_table(const std::vector<musicindex::song_entry>& songs) {
    std::string table = column_text("TITLE", title_width) + "  " + column_text("ARTIST", artist_width) + "  " +
                        column_text("ALBUM", album_width) + "   LENGTH        BEST  PATH\n";
    for (const musicindex::song_entry& s : songs) {
        char figures[64];
        std::snprintf(figures, sizeof figures, " %8s %11s  ", s.duration > 0 ? vaz::clock_text(s.duration).c_str() : "-",
                      best_cell(s.best).c_str());
        table += column_text(s.title, title_width) + "  " + column_text(s.artist, artist_width) + "  " +
                 column_text(s.album, album_width) + figures + printable(s.path) + "\n";
    }
    return table;
}

std::map<std::string, musicindex::song_entry> songs_by_hash(sqlite3* db, std::vector<library::song_row>* scanned) {
    std::map<std::string, musicindex::song_entry> by_hash;
    // A library made before the music tables has no tags to give.
    if (!sql::statement(db, "SELECT 1 FROM sqlite_master WHERE name = 'files';", "cannot read the song library").step())
        return by_hash;
    std::vector<musicindex::song_entry> found = musicindex::list_songs(db, {});
    if (scanned) {
        // By path, as the song library lists the songs it knows.
        std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.path < b.path; });
    }
    for (musicindex::song_entry& s : found) {
        if (!s.song_hash.empty()) {
            by_hash.emplace(s.song_hash, std::move(s));
        } else if (scanned) {
            // Never prepared nor played, so no hash yet: its row is named by
            // its path, which no hash can be mistaken for.
            library::song_row row;
            row.hash = unhashed_key(s.path);
            row.path = s.path;
            row.duration = s.duration;
            scanned->push_back(row);
            by_hash.emplace(row.hash, std::move(s));
        }
    }
    return by_hash;
}

std::string unhashed_key(const std::string& path) { return "file " + path; }

void sort_song_rows(std::vector<library::song_row>& songs, musicindex::sort_order order,
                    const std::map<std::string, musicindex::song_entry>& tags, const std::string& edition,
                    const std::string& difficulty) {
    using musicindex::sort_order;
    auto lower = [](std::string s) {
        for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    // Each row's keys once, not at every comparison: 30,000 rows sort in a
    // few hundred thousand of them.
    std::vector<musicindex::sort_keys> k(songs.size());
    for (std::size_t i = 0; i < songs.size(); ++i) {
        const library::song_row& s = songs[i];
        const musicindex::song_entry* t = tags_of(s, tags);
        k[i].title = lower(title_of(s, tags));
        if (t && order == sort_order::artist) k[i].artist = lower(t->artist);
        if (t && order == sort_order::album) k[i].album = lower(t->album);
        k[i].added_at = t ? t->added_at : s.prepared_at;
        k[i].last_played_at = s.last_played_at;
        for (const library::song_stage& st : s.stages)
            if (st.edition == edition && st.difficulty == difficulty && st.best)
                k[i].best = musicindex::best_run{st.best->ratio, st.best->hits};
    }
    std::vector<std::size_t> at(songs.size());
    for (std::size_t i = 0; i < at.size(); ++i) at[i] = i;
    const musicindex::sort_rule& rule = musicindex::rule_of(order);
    std::stable_sort(at.begin(), at.end(), [&](std::size_t ia, std::size_t ib) { return rule.before(k[ia], k[ib]); });
    std::vector<library::song_row> sorted;
    sorted.reserve(songs.size());
    for (std::size_t i : at) sorted.push_back(std::move(songs[i]));
    songs = std::move(sorted);
}

}  // namespace playcommand
