#include "musicfiles/walk.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include "support/scratch_dir.hpp"

using namespace musicfiles;

namespace {

const char* reason_name(skip_reason r) {
    static const char* const names[] = {"unreadable_folder", "link_loop", "broken_link", "not_regular_file",
                                        "vanished", "too_deep", "same_file", "unreadable_file"};
    return names[static_cast<std::size_t>(r)];
}

void touch(const std::string& path, const std::string& bytes = "x") { std::ofstream(path) << bytes; }

// What a walk found, relative to the root, in one line a table can hold.
std::string summary(const std::string& root, const walk_result& w) {
    auto rel = [&](const std::string& p) { return p.size() > root.size() ? p.substr(root.size() + 1) : p; };
    std::string s = "found:";
    for (const found_file& f : w.files) s += " " + rel(f.path);
    s += "; skipped:";
    for (const skipped_entry& e : w.skipped) s += " " + rel(e.path) + "=" + reason_name(e.reason);
    s += "; unknown:";
    for (const std::string& u : w.unknown) s += " " + rel(u);
    if (w.names_not_utf8 > 0) s += "; not utf-8: " + std::to_string(w.names_not_utf8);
    return s;
}

// Root reads every folder whatever its mode, so a walk that must meet an
// unreadable folder runs in a child as nobody.
std::string walk_as_nobody(const std::string& root) {
    int fds[2];
    if (pipe(fds) != 0) return "no pipe";
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        if (getuid() == 0 && setuid(65534) != 0) _exit(2);
        walk_visits visits;
        const std::string s = summary(root, walk_folder(root, visits));
        [[maybe_unused]] const ssize_t n = write(fds[1], s.data(), s.size());
        _exit(0);
    }
    close(fds[1]);
    std::string s;
    char buffer[512];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) s.append(buffer, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return s;
}

}  // namespace

TEST(WalkFolder, BadInputIsSkippedWithItsReason) {
    struct row {
        const char* name;
        std::function<void(const std::string&)> make;
        std::string expected;
        bool as_nobody = false;
    };
    const row rows[] = {
        {"music files only, sorted, in subfolders first by name",
         [](const std::string& r) {
             mkdir((r + "/b").c_str(), 0755);
             touch(r + "/b/2.ogg");
             touch(r + "/a.MP3");
             touch(r + "/notes.txt");
             touch(r + "/cover.jpg");
         },
         "found: a.MP3 b/2.ogg; skipped:; unknown:"},
        {"a link back to the root is a loop, walked once",
         [](const std::string& r) {
             mkdir((r + "/a").c_str(), 0755);
             touch(r + "/a/1.flac");
             symlink(r.c_str(), (r + "/a/back").c_str());
             symlink("self.mp3", (r + "/self.mp3").c_str());
         },
         "found: a/1.flac; skipped: self.mp3=link_loop a/back=link_loop; unknown:"},
        {"a link to a folder of the walk: the folder is walked once, under its own name",
         [](const std::string& r) {
             mkdir((r + "/in").c_str(), 0755);
             mkdir((r + "/out").c_str(), 0755);
             touch(r + "/out/x.wav");
             symlink((r + "/out").c_str(), (r + "/in/link").c_str());
         },
         "found: out/x.wav; skipped: in/link=link_loop; unknown:"},
        {"a pipe and a device named like music are never opened",
         [](const std::string& r) {
             mkfifo((r + "/pipe.mp3").c_str(), 0644);
             symlink("/dev/null", (r + "/null.flac").c_str());
         },
         "found:; skipped: null.flac=not_regular_file pipe.mp3=not_regular_file; unknown:"},
        {"a link to nothing, a second name of a file",
         [](const std::string& r) {
             symlink((r + "/nowhere.mp3").c_str(), (r + "/gone.mp3").c_str());
             touch(r + "/one.ogg");
             link((r + "/one.ogg").c_str(), (r + "/two.ogg").c_str());
         },
         "found: one.ogg; skipped: gone.mp3=broken_link two.ogg=same_file; unknown:"},
        {"a name that is not UTF-8 is kept and counted",
         [](const std::string& r) { touch(r + "/caf\xe9.mp3"); },
         "found: caf\xe9.mp3; skipped:; unknown:; not utf-8: 1"},
        {"a folder that cannot be read is left as unknown",
         [](const std::string& r) {
             chmod(r.c_str(), 0755);
             mkdir((r + "/locked").c_str(), 0755);
             touch(r + "/locked/in.mp3");
             chmod((r + "/locked").c_str(), 0);
             touch(r + "/open.mp3");
             chmod((r + "/open.mp3").c_str(), 0644);
         },
         "found: open.mp3; skipped: locked=unreadable_folder; unknown: locked", true},
        {"a tree deeper than the limit stops at it",
         [](const std::string& r) {
             std::string p = r;
             for (int d = 0; d < 70; ++d) {
                 p += "/d";
                 mkdir(p.c_str(), 0755);
             }
             touch(p + "/deep.mp3");
             touch(r + "/d/shallow.mp3");
         },
         "found: d/shallow.mp3; skipped: " + [] {
             std::string p = "d";
             for (int d = 1; d < 65; ++d) p += "/d";
             return p + "=too_deep; unknown: " + p;
         }()},
    };
    for (const row& r : rows) {
        test_support::scratch_dir dir;
        r.make(dir.path());
        if (r.as_nobody) {
            EXPECT_EQ(walk_as_nobody(dir.path()), r.expected) << r.name;
        } else {
            walk_visits visits;
            EXPECT_EQ(summary(dir.path(), walk_folder(dir.path(), visits)), r.expected) << r.name;
        }
        chmod((dir.path() + "/locked").c_str(), 0755);
    }
}

TEST(WalkFolder, FileGoneBetweenListingAndLookIsCountedAsVanished) {
    test_support::scratch_dir dir;
    for (int k = 0; k < 300; ++k) touch(dir / (std::to_string(1000 + k) + ".mp3"));
    walk_visits visits;
    bool removed = false;
    // The walk reports its count every 256 entries, after listing them all.
    const walk_result w = walk_folder(dir.path(), visits, {}, nullptr, [&](std::size_t) {
        if (removed) return;
        removed = true;
        for (int k = 290; k < 300; ++k) std::remove((dir / (std::to_string(1000 + k) + ".mp3")).c_str());
    });
    EXPECT_EQ(w.files.size(), 290u);
    ASSERT_EQ(w.skipped.size(), 10u);
    for (const skipped_entry& e : w.skipped) EXPECT_EQ(e.reason, skip_reason::vanished) << e.path;
}

TEST(WalkFolder, FollowsALinkToAFolderOutside) {
    test_support::scratch_dir dir, outside;
    touch(outside / "x.wav");
    symlink(outside.path().c_str(), (dir / "link").c_str());
    walk_visits visits;
    EXPECT_EQ(summary(dir.path(), walk_folder(dir.path(), visits)), "found: link/x.wav; skipped:; unknown:");
}

TEST(WalkFolder, StopFlagEndsTheWalk) {
    test_support::scratch_dir dir;
    for (int k = 0; k < 300; ++k) touch(dir / (std::to_string(k) + ".mp3"));
    walk_visits visits;
    std::atomic<bool> stop{false};
    const walk_result w = walk_folder(dir.path(), visits, {}, &stop, [&](std::size_t) { stop = true; });
    EXPECT_TRUE(w.stopped);
    EXPECT_LT(w.files.size(), 300u);
}

TEST(WalkFolder, MusicNamesAndPaths) {
    for (const char* yes : {"a.wav", "b.FLAC", "c.Ogg", "d.opus", "e.mp3", "f.aiff", "g.caf", "h.rf64"})
        EXPECT_TRUE(is_music_file_name(yes)) << yes;
    for (const char* no : {".mp3", "a.mp4", "mp3", "a.mp3.txt", "a.jpg"}) EXPECT_FALSE(is_music_file_name(no)) << no;
    EXPECT_EQ(normal_path("/music//rock/../pop/"), "/music/pop");
    EXPECT_TRUE(is_under("/m/a/b.mp3", "/m/a"));
    EXPECT_TRUE(is_under("/m/a", "/m/a"));
    EXPECT_FALSE(is_under("/m/ab/c.mp3", "/m/a"));
    EXPECT_TRUE(is_under("/x.mp3", "/"));
}

// The folder browser's rows: folders and links to folders, in byte order;
// no file, no hidden folder, no broken link.
TEST(Subfolders, ListsTheFoldersDirectlyInAFolder) {
    test_support::scratch_dir dir;
    for (const char* name : {"b", "a", ".hidden", "a/deeper"}) mkdir((dir / name).c_str(), 0755);
    std::ofstream(dir / "song.flac") << "x";
    ASSERT_EQ(symlink((dir / "a").c_str(), (dir / "to a").c_str()), 0);
    ASSERT_EQ(symlink((dir / "none").c_str(), (dir / "broken").c_str()), 0);
    EXPECT_EQ(subfolders(dir.path()), (std::vector<std::string>{"a", "b", "to a"}));
    EXPECT_EQ(subfolders(dir / "a/deeper"), std::vector<std::string>{});
    EXPECT_EQ(subfolders(dir / "song.flac"), std::vector<std::string>{});
}
