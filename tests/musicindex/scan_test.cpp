#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "library_db.hpp"
#include "musicindex/songs.hpp"
#include "musicindex/store.hpp"
#include "stagecache/song_hash.hpp"
#include "support/scratch_dir.hpp"
#include "support/tagged_music.hpp"

using namespace musicindex;
using musicindex_test::library_db;
using test_music::format;

namespace {

constexpr std::int64_t now = 1700000000;

musicfiles::scan_report scan_all(sqlite3* db, musicfiles::scan_options options = {}) {
    return scan(db, {}, {}, options, now);
}

void write_song(const std::string& path, const std::string& title, unsigned seed = 1) {
    const format f = path.size() > 4 && path.compare(path.size() - 4, 4, ".ogg") == 0   ? format::ogg
                     : path.size() > 4 && path.compare(path.size() - 4, 4, ".mp3") == 0 ? format::mp3
                                                                                         : format::flac;
    test_music::write_music(path, f, {title, "Artist", "Album", 1, 2000, false}, 0.2, seed);
}

std::string hash_of(const std::string& path) {
    stagecache::song_hash h;
    std::string error;
    if (!stagecache::hash_file(path, h, error)) return "cannot hash: " + error;
    return h.hex();
}

// Sets a file's modification time, so a rewrite can look unchanged.
void set_mtime(const std::string& path, const timespec& when) {
    const timespec times[2] = {when, when};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

timespec mtime_of(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mtim;
}

// Both full-text indexes agree with the rows they index (FTS5 fails the
// statement otherwise).
void expect_indexes_whole(library_db& db) {
    EXPECT_NO_THROW(db.exec("INSERT INTO files_words (files_words, rank) VALUES ('integrity-check', 1);"
                            "INSERT INTO files_text (files_text, rank) VALUES ('integrity-check', 1);"));
}

std::string titles(sqlite3* db) {
    std::string s;
    for (const song_entry& e : list_songs(db, {})) s += (s.empty() ? "" : ",") + e.title;
    return s;
}

// A folder of three songs, remembered and scanned once.
struct scanned_folder {
    test_support::scratch_dir dir;
    library_db db;
    musicfiles::scan_report first;
    scanned_folder() {
        write_song(dir / "a.flac", "Alpha", 1);
        write_song(dir / "b.ogg", "Bravo", 2);
        mkdir((dir / "sub").c_str(), 0755);
        write_song(dir / "sub/c.mp3", "Charlie", 3);
        add_folder(db, dir.path(), now);
        first = scan_all(db);
    }
};

}  // namespace

TEST(Rescan, FirstScanReadsEveryFileAndARescanOpensNone) {
    scanned_folder s;
    EXPECT_EQ(s.first.counts.added, 3u);
    EXPECT_EQ(s.first.counts.opened, 3u);
    EXPECT_EQ(titles(s.db), "Alpha,Bravo,Charlie");
    // Other bytes of the same size and time: a rescan that opened the file
    // would read no title from them.
    const std::string path = s.dir / "a.flac";
    const timespec when = mtime_of(path);
    const std::string bytes(static_cast<std::size_t>(std::stoll(s.db.text("SELECT size FROM files WHERE title = 'Alpha'"))), 'z');
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    set_mtime(path, when);
    const musicfiles::scan_report again = scan_all(s.db);
    EXPECT_EQ(again.counts.opened, 0u);
    EXPECT_EQ(again.counts.unchanged, 3u);
    EXPECT_EQ(again.counts.added + again.counts.changed + again.counts.missing, 0u);
    EXPECT_EQ(titles(s.db), "Alpha,Bravo,Charlie");
}

TEST(Rescan, ChangedFileIsReadAgainAndGetsANewHashWhenItHadOne) {
    scanned_folder s;
    set_song_hash(s.db, s.dir / "a.flac", hash_of(s.dir / "a.flac"));
    write_song(s.dir / "a.flac", "Alpha Remix", 9);
    write_song(s.dir / "b.ogg", "Bravo Live", 8);
    set_mtime(s.dir / "b.ogg", {1600000000, 5});
    const musicfiles::scan_report r = scan_all(s.db);
    EXPECT_EQ(r.counts.changed, 2u);
    EXPECT_EQ(r.counts.hashed, 1u);
    EXPECT_EQ(titles(s.db), "Alpha Remix,Bravo Live,Charlie");
    EXPECT_EQ(s.db.text("SELECT song_hash FROM files WHERE title = 'Alpha Remix'"), hash_of(s.dir / "a.flac"));
    // Never hashed: the scan does not start now.
    EXPECT_EQ(s.db.text("SELECT song_hash IS NULL FROM files WHERE title = 'Bravo Live'"), "1");
    EXPECT_EQ(s.db.text("SELECT mtime_ns FROM files WHERE title = 'Bravo Live'"), "1600000000000000005");
}

TEST(Rescan, MovedFileKeepsItsSongHashAndSoItsResults) {
    scanned_folder s;
    const std::string hash = hash_of(s.dir / "b.ogg");
    set_song_hash(s.db, s.dir / "b.ogg", hash);
    s.db.exec("INSERT INTO results (song_hash, edition, difficulty, session, run, played_at, hits, score, ratio,"
              " frames, offset_ms) VALUES ('" + hash + "', 'standard', 'hard', 's', 1, 5, 3, 900, 8.5, 100, 0);");
    mkdir((s.dir / "new home").c_str(), 0755);
    ASSERT_EQ(std::rename((s.dir / "b.ogg").c_str(), (s.dir / "new home/bravo.ogg").c_str()), 0);
    // A new file of another size is not hashed.
    write_song(s.dir / "d.flac", "Delta", 4);
    const musicfiles::scan_report r = scan_all(s.db);
    EXPECT_EQ(r.counts.moved, 1u);
    EXPECT_EQ(r.counts.added, 1u);
    EXPECT_EQ(r.counts.missing, 0u);
    EXPECT_EQ(r.counts.hashed, 1u);
    EXPECT_EQ(s.db.text("SELECT count(*) FROM files"), "4");
    EXPECT_EQ(s.db.text("SELECT path FROM files WHERE song_hash = '" + hash + "'"), s.dir / "new home/bravo.ogg");
    const std::vector<song_entry> best = list_songs(s.db, {sort_order::best, "standard", "hard"});
    ASSERT_EQ(best.size(), 4u);
    EXPECT_EQ(best[0].title, "Bravo");
    ASSERT_TRUE(best[0].best.has_value());
    EXPECT_DOUBLE_EQ(best[0].best->ratio, 8.5);
    expect_indexes_whole(s.db);
}

// A file the library knows as a song (played or prepared) comes back with its
// best after its folder is forgotten and added again, or when the library
// knew it before the music tables (at a path since gone): its bytes decide.
TEST(Rescan, AFileAddedAgainIsLinkedToTheSongTheLibraryKnows) {
    scanned_folder s;
    const std::string bravo = hash_of(s.dir / "b.ogg"), charlie = hash_of(s.dir / "sub/c.mp3");
    const std::string duration = s.db.text("SELECT duration FROM files WHERE path LIKE '%b.ogg'");
    s.db.exec("INSERT INTO songs (hash, path, duration, rate, channels) VALUES ('" + bravo + "', '" + s.dir / "b.ogg" +
              "', 99, 44100, 2), ('" + charlie + "', '/gone/c.mp3', " + duration + ", 44100, 2),"
              " ('" + std::string(32, 'e') + "', '/gone/e.flac', " + duration + ", 44100, 2);");
    s.db.exec("INSERT INTO results (song_hash, edition, difficulty, session, run, played_at, hits, score, ratio,"
              " frames, offset_ms) VALUES ('" + bravo + "', 'standard', 'hard', 's', 1, 5, 3, 900, 8.5, 100, 0),"
              " ('" + charlie + "', 'standard', 'hard', 't', 1, 5, 3, 900, 2.5, 100, 0);");
    ASSERT_TRUE(forget_folder(s.db, s.dir.path()));
    add_folder(s.db, s.dir.path(), now + 1);
    scan(s.db, {}, {}, {}, now + 1);
    EXPECT_EQ(s.db.text("SELECT path FROM files WHERE song_hash = '" + bravo + "'"), s.dir / "b.ogg");
    EXPECT_EQ(s.db.text("SELECT path FROM files WHERE song_hash = '" + charlie + "'"), s.dir / "sub/c.mp3");
    EXPECT_EQ(s.db.text("SELECT count(*) FROM files WHERE song_hash IS NOT NULL"), "2") << "a.flac is no known song";
    std::string bests;
    for (const song_entry& e : list_songs(s.db, {sort_order::best, "standard", "hard"}))
        bests += e.title + (e.best ? "=" + std::to_string(e.best->ratio) : "") + " ";
    EXPECT_EQ(bests, "Bravo=8.500000 Charlie=2.500000 Alpha ");
}

TEST(Rescan, DeletedFileIsKeptMissingAndFoundAgain) {
    scanned_folder s;
    const std::string path = s.dir / "sub/c.mp3";
    const std::string kept = s.dir / "c.mp3.away";
    ASSERT_EQ(std::rename(path.c_str(), kept.c_str()), 0);
    const musicfiles::scan_report gone = scan_all(s.db);
    EXPECT_EQ(gone.counts.missing, 1u);
    EXPECT_EQ(titles(s.db), "Alpha,Bravo");
    EXPECT_EQ(s.db.text("SELECT missing FROM files WHERE title = 'Charlie'"), "1");
    // Missing twice is counted once.
    EXPECT_EQ(scan_all(s.db).counts.missing, 0u);
    ASSERT_EQ(std::rename(kept.c_str(), path.c_str()), 0);
    const musicfiles::scan_report back = scan_all(s.db);
    EXPECT_EQ(back.counts.found_again, 1u);
    EXPECT_EQ(back.counts.opened, 0u);
    EXPECT_EQ(titles(s.db), "Alpha,Bravo,Charlie");
}

TEST(Rescan, FolderGoneEmptyOrOnAnotherDiskLeavesItsSongsMissing) {
    scanned_folder s;
    const std::string away = s.dir.path() + ".unmounted";
    ASSERT_EQ(std::rename(s.dir.path().c_str(), away.c_str()), 0);
    const musicfiles::scan_report gone = scan_all(s.db);
    ASSERT_EQ(gone.folders.size(), 1u);
    EXPECT_EQ(gone.folders[0].state, musicfiles::folder_state::not_found);
    EXPECT_EQ(gone.counts.missing, 3u);
    EXPECT_EQ(titles(s.db), "");
    // The mount point left empty.
    mkdir(s.dir.path().c_str(), 0700);
    const musicfiles::scan_report empty = scan_all(s.db);
    EXPECT_EQ(empty.folders[0].state, musicfiles::folder_state::not_mounted);
    rmdir(s.dir.path().c_str());
    ASSERT_EQ(std::rename(away.c_str(), s.dir.path().c_str()), 0);
    EXPECT_EQ(scan_all(s.db).counts.found_again, 3u);
    EXPECT_EQ(s.db.text("SELECT count(*) FROM files"), "3");
}

TEST(Rescan, FolderOnAnotherDeviceWithNoneOfItsFilesIsNotMounted) {
    struct stat tmp {}, shm {};
    if (stat("/tmp", &tmp) != 0 || stat("/dev/shm", &shm) != 0 || tmp.st_dev == shm.st_dev)
        GTEST_SKIP() << "needs /dev/shm on another file system than /tmp";
    test_support::scratch_dir disk, holder;
    write_song(disk / "x.flac", "On The Disk");
    // The remembered folder is a link, pointed first at the disk, then at
    // a folder elsewhere holding a stray file: what a mount point shows
    // when its disk is not there.
    const std::string folder = holder / "music";
    symlink(disk.path().c_str(), folder.c_str());
    library_db db;
    add_folder(db, folder, now);
    EXPECT_EQ(scan_all(db).counts.added, 1u);
    char other[] = "/dev/shm/velmora_test.XXXXXX";
    ASSERT_NE(mkdtemp(other), nullptr);
    write_song(std::string(other) + "/stray.flac", "Stray");
    std::remove(folder.c_str());
    symlink(other, folder.c_str());
    const musicfiles::scan_report r = scan_all(db);
    EXPECT_EQ(r.folders[0].state, musicfiles::folder_state::not_mounted);
    EXPECT_EQ(r.counts.added, 0u);
    EXPECT_EQ(db.text("SELECT group_concat(title || ':' || missing) FROM files"), "On The Disk:1");
    std::remove((std::string(other) + "/stray.flac").c_str());
    rmdir(other);
}

TEST(Scan, StopKeepsTheBatchesWrittenAndTheNextScanGoesOn) {
    test_support::scratch_dir dir;
    for (int k = 0; k < 6; ++k) write_song(dir / ("s" + std::to_string(k) + ".flac"), "Song " + std::to_string(k), k);
    library_db db;
    add_folder(db, dir.path(), now);
    std::atomic<bool> stop{false};
    musicfiles::scan_options options;
    options.batch_size = 2;
    options.stop = &stop;
    options.progress = [&](const musicfiles::scan_counts& c) {
        if (c.read >= 2) stop = true;
    };
    const musicfiles::scan_report first = scan_all(db, options);
    EXPECT_TRUE(first.stopped);
    EXPECT_EQ(db.text("SELECT count(*) FROM files"), "2");
    const musicfiles::scan_report rest = scan_all(db);
    EXPECT_EQ(rest.counts.added, 4u);
    EXPECT_EQ(rest.counts.unchanged, 2u);
}

TEST(Scan, RowsDoNotDependOnTheThreads) {
    test_support::scratch_dir dir;
    const char* endings[] = {".flac", ".ogg", ".mp3"};
    for (int k = 0; k < 5; ++k) mkdir((dir / ("f" + std::to_string(k))).c_str(), 0755);
    for (int k = 0; k < 24; ++k)
        write_song(dir / ("f" + std::to_string(k % 5) + "/" + std::to_string(k) + endings[k % 3]), "T" + std::to_string(k), k);
    const std::string dump = "SELECT group_concat(id || '|' || path || '|' || title || '|' || duration, ';') FROM files";
    std::string rows[2];
    for (unsigned threads : {1u, 2u}) {
        library_db db;
        add_folder(db, dir.path(), now);
        musicfiles::scan_options options;
        options.threads = threads;
        options.batch_size = 5;
        EXPECT_EQ(scan_all(db, options).counts.added, 24u);
        rows[threads - 1] = db.text(dump);
    }
    EXPECT_EQ(rows[0], rows[1]);
}

TEST(Scan, BadFilesAreCountedAndReadAgainUntilTheyPlay) {
    test_support::scratch_dir dir;
    write_song(dir / "good.flac", "Good");
    write_song(dir / "going.flac", "Going");
    std::ofstream(dir / "words.mp3") << "only words, no sound";
    library_db db;
    add_folder(db, dir.path(), now);
    musicfiles::scan_options options;
    bool removed = false;
    // After the walk, before the reading: a file vanishes.
    options.progress = [&](const musicfiles::scan_counts& c) {
        if (c.to_read > 0 && c.read == 0 && !removed) removed = std::remove((dir / "going.flac").c_str()) == 0;
    };
    const musicfiles::scan_report r = scan_all(db, options);
    EXPECT_TRUE(removed);
    EXPECT_EQ(r.counts.skipped[static_cast<std::size_t>(musicfiles::skip_reason::vanished)], 1u);
    EXPECT_EQ(r.counts.skipped[static_cast<std::size_t>(musicfiles::skip_reason::unreadable_file)], 1u);
    EXPECT_EQ(titles(db), "Good");
    EXPECT_EQ(db.text("SELECT playable FROM files WHERE path LIKE '%words.mp3'"), "0");
    // Only the file that could not be read is opened again.
    EXPECT_EQ(scan_all(db).counts.opened, 1u);

    // Readable since, with the same size and time: found at the next scan.
    write_song(dir / "late.flac", "Late");
    std::ifstream sound(dir / "late.flac", std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(sound), std::istreambuf_iterator<char>()};
    const timespec when = mtime_of(dir / "late.flac");
    std::ofstream(dir / "late.flac", std::ios::binary) << std::string(bytes.size(), 'x');
    set_mtime(dir / "late.flac", when);
    scan_all(db);
    EXPECT_EQ(titles(db), "Good");
    std::ofstream(dir / "late.flac", std::ios::binary) << bytes;
    set_mtime(dir / "late.flac", when);
    scan_all(db);
    EXPECT_EQ(titles(db), "Good,Late");
}

TEST(Folders, ForgetDropsItsFilesButNotResultsFilesAddedAloneOrAnotherFolders) {
    test_support::scratch_dir dir;
    mkdir((dir / "rock").c_str(), 0755);
    mkdir((dir / "rock/live").c_str(), 0755);
    mkdir((dir / "jazz").c_str(), 0755);
    write_song(dir / "rock/r.flac", "Rock");
    write_song(dir / "rock/live/l.flac", "Live");
    write_song(dir / "jazz/j.flac", "Jazz");
    write_song(dir / "jazz/alone.flac", "Alone");
    library_db db;
    EXPECT_TRUE(add_folder(db, dir / "rock", now));
    EXPECT_FALSE(add_folder(db, dir / "rock", now));
    add_folder(db, dir / "rock/live", now);
    add_folder(db, dir / "jazz", now);
    EXPECT_EQ(scan(db, {}, {dir / "jazz/alone.flac"}, {}, now).counts.added, 1u);
    const musicfiles::scan_report r = scan_all(db);
    EXPECT_EQ(r.counts.added, 3u);
    EXPECT_EQ(r.folders[2].state, musicfiles::folder_state::inside_other);  // rock/live, after jazz and rock
    db.exec("INSERT INTO results (song_hash, edition, difficulty, session, run, played_at, hits, score, ratio, frames,"
            " offset_ms) VALUES ('abc', 'standard', 'hard', 's', 1, 5, 3, 900, 8.5, 100, 0);");
    EXPECT_TRUE(forget_folder(db, dir / "rock/live"));
    EXPECT_TRUE(forget_folder(db, dir / "jazz"));
    EXPECT_FALSE(forget_folder(db, dir / "jazz"));
    EXPECT_EQ(titles(db), "Alone,Live,Rock");
    EXPECT_EQ(db.text("SELECT count(*) FROM results"), "1");
    const std::vector<folder_row> left = folders(db);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].files, 2);
    EXPECT_EQ(left[0].scanned_at, now);
    // A file added alone is looked at again by a scan of everything.
    write_song(dir / "jazz/alone.flac", "Alone Again", 7);
    EXPECT_EQ(scan_all(db).counts.changed, 1u);
    expect_indexes_whole(db);
}
