#include "playcommand/song_files.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "support/scratch_dir.hpp"

using namespace playcommand;

TEST(SongFiles, FoldersAreSearchedDeeplyForSoundFileNamesOnly) {
    test_support::scratch_dir dir;
    mkdir((dir / "music").c_str(), 0755);
    mkdir((dir / "music/album").c_str(), 0755);
    for (const char* name : {"music/b.FLAC", "music/a.wav", "music/cover.jpg", "music/notes.txt",
                             "music/album/01.opus", "music/album/02.Mp3", "music/album/.wav", "loose.txt"})
        std::ofstream(dir / name) << "x";
    // A link back up must not send the search round in circles.
    ASSERT_EQ(symlink((dir / "music").c_str(), (dir / "music/album/loop").c_str()), 0);
    ASSERT_EQ(symlink((dir / "music").c_str(), (dir / "music/album/loop.wav").c_str()), 0);
    mkdir((dir / "music/live.flac").c_str(), 0755);
    // Named like songs but none: listed, for their preparation to say why.
    ASSERT_EQ(mkfifo((dir / "music/pipe.ogg").c_str(), 0600), 0);
    ASSERT_EQ(symlink("/dev/zero", (dir / "music/zero.wav").c_str()), 0);

    const song_search found = find_songs({dir / "loose.txt", dir / "music"});
    EXPECT_EQ(found.files, (std::vector<std::string>{dir / "loose.txt", dir / "music/a.wav", dir / "music/album/01.opus",
                                                     dir / "music/album/02.Mp3", dir / "music/b.FLAC",
                                                     dir / "music/pipe.ogg", dir / "music/zero.wav"}));
    EXPECT_TRUE(found.problems.empty());
    EXPECT_TRUE(is_song_file_name("x.aiff"));
    EXPECT_FALSE(is_song_file_name("wav"));
}
