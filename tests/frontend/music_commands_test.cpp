// The music commands over a song library's music tables: a folder of
// tagged files added, searched, and a moved file keeping its result.
#include "frontend/music_commands.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "../musicindex/library_db.hpp"
#include "stagecache/song_hash.hpp"
#include "support/scratch_dir.hpp"
#include "support/tagged_music.hpp"

namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A command's status and what it printed on each stream.
struct printed {
    int status = -1;
    std::string out, err;
};

template <class Command>
printed run(Command command) {
    printed p;
    char *out_text = nullptr, *err_text = nullptr;
    std::size_t out_size = 0, err_size = 0;
    std::FILE* out = open_memstream(&out_text, &out_size);
    std::FILE* err = open_memstream(&err_text, &err_size);
    frontend::music_output o;
    o.out = out;
    o.err = err;
    o.threads = 1;
    p.status = command(o);
    std::fclose(out);
    std::fclose(err);
    p.out.assign(out_text, out_size);
    p.err.assign(err_text, err_size);
    std::free(out_text);
    std::free(err_text);
    return p;
}

}  // namespace

TEST(MusicCommands, AFolderIsAddedSearchedAndAMovedSongKeepsItsResult) {
    test_support::scratch_dir dir;
    musicindex_test::library_db db;
    const std::string music = dir / "Music";
    std::filesystem::create_directories(music + "/Trio");
    test_music::write_music(music + "/Trio/cafe.flac", test_music::format::flac,
                            {"Caf\xc3\xa9 Nocturne", "\xc3\x96" "d\xc3\xb6n Trio", "Late", 1, 2001, false}, 0.2, 1);
    test_music::write_music(music + "/tide.ogg", test_music::format::ogg, {"Morning Tide", "Sea", "Early", 2, 2002, false},
                            0.2, 2);
    ASSERT_EQ(::mkfifo((music + "/pipe.mp3").c_str(), 0644), 0);

    printed r = run([&](const frontend::music_output& o) { return frontend::add_music_folders(db, {music}, o, 100); });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "2 music files in ")) << r.out;
    EXPECT_TRUE(contains(r.out, "  1 pipe, device or socket named like music\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "  skipped \"" + music + "/pipe.mp3\": a pipe, a device or a socket named like music"))
        << r.out;
    r = run([&](const frontend::music_output& o) { return frontend::add_music_folders(db, {music + "/tide.ogg"}, o, 100); });
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "not a folder")) << r.err;
    r = run([&](const frontend::music_output& o) { return frontend::print_music_folders(db, o); });
    EXPECT_TRUE(contains(r.out, "      2       0  ")) << r.out;

    // Words of a title or an artist in another case, without the accents.
    const musicindex::song_query query;
    for (const char* typed : {"CAFE", "nocturne odon", "cAf"}) {
        SCOPED_TRACE(typed);
        r = run([&](const frontend::music_output& o) { return frontend::print_search(db, typed, query, o); });
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(contains(r.out, "Caf\xc3\xa9 Nocturne")) << r.out;
        EXPECT_FALSE(contains(r.out, "Morning Tide")) << r.out;
    }
    r = run([&](const frontend::music_output& o) { return frontend::print_search(db, "nothing like it", query, o); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "No song matches \"nothing like it\".\n");

    // Played once: its hash and a result; then moved, and found by a rescan.
    stagecache::song_hash hash;
    std::string why;
    ASSERT_TRUE(stagecache::hash_file(music + "/Trio/cafe.flac", hash, why)) << why;
    frontend::remember_song_file(db, music + "/Trio/cafe.flac", hash.hex(), 200);
    db.exec("INSERT INTO results (song_hash, edition, difficulty, session, run, played_at, hits, score, ratio, frames,"
            " offset_ms) VALUES ('" + hash.hex() + "', 'standard', 'hard', 's', 1, 200, 3, 15, 2.5, 60, 0);");
    std::filesystem::create_directories(music + "/moved");
    std::filesystem::rename(music + "/Trio/cafe.flac", music + "/moved/renamed.flac");
    r = run([&](const frontend::music_output& o) { return frontend::scan_music(db, o, 300); });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, " 1 moved, ")) << r.out;
    r = run([&](const frontend::music_output& o) { return frontend::print_search(db, "cafe", query, o); });
    EXPECT_TRUE(contains(r.out, "    2.50/3  " + music + "/moved/renamed.flac\n")) << r.out;

    // Ctrl-C raised the stop flag: what was written stays, and it says so.
    const std::atomic<bool> stop{true};
    r = run([&](frontend::music_output o) {
        o.stop = &stop;
        return frontend::scan_music(db, o, 400);
    });
    EXPECT_EQ(r.status, frontend::stopped_status);
    EXPECT_TRUE(contains(r.out, "stopped: what was scanned is kept")) << r.out;

    r = run([&](const frontend::music_output& o) { return frontend::forget_music_folder(db, music, o); });
    EXPECT_EQ(r.status, 0) << r.err;
    r = run([&](const frontend::music_output& o) { return frontend::forget_music_folder(db, music, o); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(db.text("SELECT count(*) FROM results;"), "1") << "results stay with a forgotten folder";
}
