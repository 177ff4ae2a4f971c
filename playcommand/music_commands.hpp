#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "musicindex/songs.hpp"
#include "library/song_library.hpp"

struct sqlite3;

// The player's music folders and songs as velmora_play prints them, over
// the music tables of an open song library. Each command returns
// velmora_play's exit status; messages go to `err` with the program's name,
// tables and summaries to `out`, every name as printable() shows it. The
// music tables' errors (library::library_error) are the caller's to say.
namespace playcommand {

struct music_output {
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    bool terminal = false;  // err is a terminal: the scan's progress is one line redrawn
    const std::atomic<bool>* stop = nullptr;  // raised (by SIGINT) to end a scan, keeping what it wrote
    unsigned threads = 2;
};

// Exit status of a scan that was stopped, as a shell shows a SIGINT.
constexpr int stopped_status = 130;

// --add: remembers the folders (each must be one) and scans them.
int add_music_folders(sqlite3* db, const std::vector<std::string>& folders, const music_output& o, std::int64_t now);
// --scan: every remembered folder and every file added alone.
int scan_music(sqlite3* db, const music_output& o, std::int64_t now);
// --folders
int print_music_folders(sqlite3* db, const music_output& o);
// --forget
int forget_music_folder(sqlite3* db, const std::string& folder, const music_output& o);
// --search: the songs matching every word, as format_music_table prints them.
int print_search(sqlite3* db, const std::string& text, const musicindex::song_query& query, const music_output& o);

// A song prepared or played: its file is known as added alone (unless a
// folder holds it) with its hash, which links it to its results wherever it
// moves. Quiet; throws library::library_error.
void remember_song_file(sqlite3* db, const std::string& path, const std::string& song_hash, std::int64_t now);

// TITLE ARTIST ALBUM LENGTH BEST PATH, the path last and whole.
std::string format_music_table(const std::vector<musicindex::song_entry>& songs);

// The tags of the song library's songs, by song hash, for --list. With
// `scanned`, the songs found in the music folders that were never prepared
// or played get a row there (by path), their tags under unhashed_key.
std::map<std::string, musicindex::song_entry> songs_by_hash(sqlite3* db,
                                                            std::vector<library::song_row>* scanned = nullptr);
std::string unhashed_key(const std::string& path);

// --list's rows in the order asked: names from the tags where the music
// tables have them, else from the file name; bests of `edition` at `difficulty`.
void sort_song_rows(std::vector<library::song_row>& songs, musicindex::sort_order order,
                    const std::map<std::string, musicindex::song_entry>& tags, const std::string& edition,
                    const std::string& difficulty);

// A song's title as --list shows it: its tag, else from its file name; its tags, or none.
std::string title_of(const library::song_row& s, const std::map<std::string, musicindex::song_entry>& tags);
const musicindex::song_entry* tags_of(const library::song_row& s,
                                      const std::map<std::string, musicindex::song_entry>& tags);

}  // namespace playcommand
