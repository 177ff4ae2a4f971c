// The music commands over a song library's music tables.
#include "playcommand/music_commands.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "../musicindex/library_db.hpp"
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
    playcommand::music_output o;
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

// What the end-to-end run of velmora_play leaves out: the refusals, a
// search finding nothing and a stopped scan.
TEST(MusicCommands, RefusalsAndAStoppedScanSayWhyAndEndAsTheyShould) {
    test_support::scratch_dir dir;
    musicindex_test::library_db db;
    const std::string music = dir / "Music";
    std::filesystem::create_directories(music);
    test_music::write_music(music + "/tide.ogg", test_music::format::ogg, {"Morning Tide", "Sea", "Early", 2, 2002, false},
                            0.2, 2);

    printed r = run([&](const playcommand::music_output& o) {
        return playcommand::add_music_folders(db, {music + "/tide.ogg", dir / "none"}, o, 100);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "tide.ogg\": not a folder")) << r.err;
    EXPECT_TRUE(contains(r.err, "none\": No such file or directory")) << r.err;
    EXPECT_EQ(run([&](const playcommand::music_output& o) { return playcommand::add_music_folders(db, {music}, o, 100); }).status,
              0);
    r = run([&](const playcommand::music_output& o) { return playcommand::print_search(db, "nothing like it", {}, o); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "No song matches \"nothing like it\".\n");

    // Ctrl-C raised the stop flag: what was written stays, and it says so.
    const std::atomic<bool> stop{true};
    r = run([&](playcommand::music_output o) {
        o.stop = &stop;
        return playcommand::scan_music(db, o, 400);
    });
    EXPECT_EQ(r.status, playcommand::stopped_status);
    EXPECT_TRUE(contains(r.out, "stopped: what was scanned is kept")) << r.out;

    r = run([&](const playcommand::music_output& o) { return playcommand::forget_music_folder(db, dir / "other", o); });
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "is not a remembered folder")) << r.err;
}
