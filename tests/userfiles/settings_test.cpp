#include "userfiles/settings.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/scratch_dir.hpp"
#include "userfiles/user_dirs.hpp"

using namespace userfiles;

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void put(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

}  // namespace

TEST(Settings, ReadsOffsetAndVolumeAndWarnsOfEachBadLine) {
    struct row {
        std::string text;
        int offset_ms;
        int volume;
        std::size_t warnings;
    };
    const row rows[] = {
        {"", 0, 100, 0},
        {"offset = 35\nvolume = 80\n", 35, 80, 0},
        {"  offset=-500 \r\n\tvolume =0", -500, 0, 0},           // spaces, CRLF, no final newline
        {"# offset = 20\n\nvolume = 7 \n", 0, 7, 0},             // comments and blank lines
        {"colour = blue\nvolume = 50\n", 0, 50, 0},              // another key: not ours, no warning
        {"offset = 10\noffset = 20\n", 20, 100, 0},              // the last line wins
        {"offset = 501\nvolume = 101\n", 0, 100, 2},
        {"offset = 12ms\nvolume = -1\n", 0, 100, 2},
        {"offset = \nvolume = +60\n", 0, 60, 1},
        {"just some words\nvolume = 40\n", 0, 40, 1},
        {"offset = 99999999999999999999\n", 0, 100, 1},
    };
    for (const row& r : rows) {
        const loaded_settings s = parse_settings(r.text, "/x/settings.conf");
        EXPECT_EQ(s.source, settings_source::read) << r.text;
        EXPECT_EQ(s.values.offset_ms, r.offset_ms) << r.text;
        EXPECT_EQ(s.values.volume, r.volume) << r.text;
        EXPECT_EQ(s.warnings.size(), r.warnings) << r.text;
    }
    const loaded_settings bad = parse_settings("offset = 12ms\n", "/x/settings.conf");
    ASSERT_EQ(bad.warnings.size(), 1u);
    EXPECT_EQ(bad.warnings[0], "settings file \"/x/settings.conf\" line 1: offset must be a whole number of "
                               "milliseconds from -500 to 500, not \"12ms\"; using 0");

    // The library screen's keys, read here, ignored by the rest.
    const loaded_settings screen =
        parse_settings("effects = 35\nedition = zetaflux\ndifficulty = easy\nfullscreen = yes\nscale = 3\n",
                       "/x/settings.conf");
    EXPECT_TRUE(screen.warnings.empty());
    EXPECT_EQ(screen.values.effects, 35);
    EXPECT_EQ(screen.values.edition, "zetaflux");
    EXPECT_EQ(screen.values.difficulty, "easy");
    EXPECT_TRUE(screen.values.fullscreen);
    EXPECT_EQ(screen.values.scale, 3);
    const loaded_settings bad_screen = parse_settings("effects = 101\nfullscreen = 1\nscale = 4\n", "/x/s");
    EXPECT_EQ(bad_screen.warnings.size(), 3u);
    EXPECT_EQ(bad_screen.values.effects, default_effects);
    EXPECT_FALSE(bad_screen.values.fullscreen);
    EXPECT_EQ(bad_screen.values.scale, 1);

    const loaded_settings binary = parse_settings(std::string("offset = 3\0\x01\x02", 13), "/x/s");
    EXPECT_EQ(binary.source, settings_source::damaged);
    EXPECT_EQ(binary.values.offset_ms, 0);
    EXPECT_EQ(binary.warnings.size(), 1u);
}

TEST(Settings, SettingAKeyChangesItsLastLineAndKeepsEveryOtherLine) {
    EXPECT_EQ(set_setting_text("# mine\ncolour = blue\nvolume = 3\nnonsense\n", "volume", 70),
              "# mine\ncolour = blue\nvolume = 70\nnonsense\n");
    EXPECT_EQ(set_setting_text("offset = 1\noffset = 2", "offset", -9), "offset = 1\noffset = -9\n");
    EXPECT_EQ(set_setting_text("volume = 3", "offset", 12), "volume = 3\noffset = 12\n");
    EXPECT_EQ(set_setting_text("edition = standard\n", "edition", std::string("zetaflux")), "edition = zetaflux\n");
    const std::string fresh = set_setting_text("", "volume", 55);
    EXPECT_EQ(fresh.substr(0, 2), "# ") << "a new file says what its keys mean";
    const loaded_settings back = parse_settings(fresh, "f");
    EXPECT_EQ(back.values.volume, 55);
    EXPECT_TRUE(back.warnings.empty());
}

TEST(Settings, SavingWritesThroughATemporaryAndNeverLosesWhatItCannotRead) {
    test_support::scratch_dir dir;
    const std::string path = dir / "conf/settings.conf";

    // A missing file and its folder are made.
    save_outcome r = save_setting(path, "volume", 40);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(read_settings(path).values.volume, 40);
    r = save_setting(path, "offset", -25);
    ASSERT_TRUE(r.ok) << r.error;
    loaded_settings s = read_settings(path);
    EXPECT_EQ(s.values.volume, 40);
    EXPECT_EQ(s.values.offset_ms, -25);
    ::chmod(path.c_str(), 0600);
    put(path, slurp(path) + "colour = blue\n");
    ASSERT_TRUE(save_setting(path, "volume", 90).ok);
    EXPECT_NE(slurp(path).find("colour = blue\n"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the file keeps its permissions";

    // A damaged file is moved aside whole before a new one is written.
    const std::string junk("\x7f" "ELF\0\0\x01junk", 10);
    put(path, junk);
    s = read_settings(path);
    EXPECT_EQ(s.source, settings_source::damaged);
    EXPECT_EQ(slurp(path), junk) << "reading changes nothing";
    r = save_setting(path, "offset", 15);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_NE(r.note.find("settings.conf.damaged"), std::string::npos) << r.note;
    EXPECT_EQ(slurp(path + ".damaged"), junk);
    EXPECT_EQ(read_settings(path).values.offset_ms, 15);

    // What cannot be read is not written over; a named pipe is not even
    // opened, which would wait for a writer.
    const std::string folder = dir / "folder.conf", pipe = dir / "pipe.conf";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
    for (const std::string& unreadable : {folder, pipe}) {
        SCOPED_TRACE(unreadable);
        s = read_settings(unreadable);
        EXPECT_EQ(s.source, settings_source::unreadable);
        EXPECT_EQ(s.values.volume, default_volume);
        r = save_setting(unreadable, "volume", 10);
        EXPECT_FALSE(r.ok);
        EXPECT_NE(r.error.find("left as it is"), std::string::npos) << r.error;
    }
    EXPECT_NE(read_settings(pipe).warnings.at(0).find("not a regular file (a named pipe)"), std::string::npos);

    // A link is written through: it stays a link, the file it leads to
    // changes, and the temporary file went to that file's folder.
    ASSERT_EQ(::mkdir((dir / "dotfiles").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((dir / "linked").c_str(), 0755), 0);
    put(dir / "dotfiles/velmora.conf", "# mine\nvolume = 70\n");
    ASSERT_EQ(::symlink("../dotfiles/velmora.conf", (dir / "linked/settings.conf").c_str()), 0);
    r = save_setting(dir / "linked/settings.conf", "offset", 30);
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(::lstat((dir / "linked/settings.conf").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced by a file";
    EXPECT_EQ(slurp(dir / "dotfiles/velmora.conf"), "# mine\nvolume = 70\noffset = 30\n");

    // No temporary is left behind.
    auto names_in = [](const std::string& where) {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(where)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    };
    EXPECT_EQ(names_in(dir / "conf"), (std::vector<std::string>{"settings.conf", "settings.conf.damaged"}));
    EXPECT_EQ(names_in(dir / "dotfiles"), std::vector<std::string>{"velmora.conf"});
    EXPECT_EQ(names_in(dir / "linked"), std::vector<std::string>{"settings.conf"});
    EXPECT_FALSE(save_setting("", "volume", 1).ok);
}

TEST(UserDirs, FollowTheXdgVariablesElseHome) {
    const char* saved[] = {std::getenv("XDG_CACHE_HOME"), std::getenv("XDG_DATA_HOME"), std::getenv("HOME")};
    const std::string keep[] = {saved[0] ? saved[0] : "", saved[1] ? saved[1] : "", saved[2] ? saved[2] : ""};
    setenv("HOME", "/home/player", 1);
    setenv("XDG_CACHE_HOME", "/var/cache/p", 1);
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(cache_dir(), "/var/cache/p/velmora");
    EXPECT_EQ(data_dir(), "/home/player/.local/share/velmora");
    // A relative value is ignored, as the base directory rules say.
    setenv("XDG_CACHE_HOME", "relative", 1);
    EXPECT_EQ(cache_dir(), "/home/player/.cache/velmora");
    const char* names[] = {"XDG_CACHE_HOME", "XDG_DATA_HOME", "HOME"};
    for (int i = 0; i < 3; ++i) {
        if (saved[i]) setenv(names[i], keep[i].c_str(), 1);
        else unsetenv(names[i]);
    }
}
