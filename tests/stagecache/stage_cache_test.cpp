#include "stagecache/stage_cache.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "pattern/pattern_writer.hpp"
#include "stagecache/song_hash.hpp"
#include "support/scratch_dir.hpp"

using namespace stagecache;

namespace {

// A two-group pattern file of `per_group` records per group.
std::vector<std::uint8_t> stage_bytes(int per_group) {
    pattern::vector_sink sink;
    pattern::writer w(sink);
    w.group_count(2);
    for (int g = 0; g < 2; ++g) {
        for (int i = 0; i < per_group; ++i) w.record({i * 3, 0.5f * static_cast<float>(g), 2.0f});
        w.terminator();
    }
    return sink.bytes;
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(bytes.data()),
                                                                  static_cast<std::streamsize>(bytes.size()));
}

const song_hash song_a = hash_bytes("song a", 6);
const song_hash song_b = hash_bytes("song b", 6);

}  // namespace

TEST(SongHash, IsTheXxh3Of128BitsOfTheFileBytes) {
    test_support::scratch_dir dir;
    const std::string text = "not really a song";
    write_file(dir / "f", std::vector<std::uint8_t>(text.begin(), text.end()));
    song_hash h;
    std::string why;
    ASSERT_TRUE(hash_file(dir / "f", h, why)) << why;
    EXPECT_EQ(h, hash_bytes(text.data(), text.size()));
    EXPECT_EQ(h.hex().size(), 32u);
    EXPECT_NE(h.hex(), hash_bytes("not really a son", 16).hex());
    // The well-known XXH3-128 of no bytes, to pin the algorithm and the digit order.
    EXPECT_EQ(hash_bytes("", 0).hex(), "99aa06d3014798d86001c324468d497f");
    EXPECT_FALSE(hash_file(dir / "missing", h, why));
    EXPECT_EQ(why, "No such file or directory");
    EXPECT_FALSE(hash_file(dir.path(), h, why));
    EXPECT_EQ(why, "Is a directory");
    // A song's name on what never ends, or waits for a writer, is refused before it is read.
    ASSERT_EQ(symlink("/dev/zero", (dir / "zero.wav").c_str()), 0);
    EXPECT_FALSE(hash_file(dir / "zero.wav", h, why));
    EXPECT_EQ(why, "not a regular file (a character device)");
    ASSERT_EQ(mkfifo((dir / "pipe.wav").c_str(), 0600), 0);
    EXPECT_FALSE(hash_file(dir / "pipe.wav", h, why));
    EXPECT_EQ(why, "not a regular file (a named pipe)");
}

TEST(StageCache, KeyDiffersBySongEditionAndFormatVersion) {
    const stage_cache cache("/c");
    const std::string a = cache.entry_path(song_a, "standard");
    EXPECT_EQ(a, "/c/stages/" + song_a.hex() + "-standard-v1.pat");
    // Hard keeps the name stages had before difficulties; the others and
    // each format version are entries of their own.
    EXPECT_EQ(cache.entry_path(song_a, {"dynamics", "easy", 3}), "/c/stages/" + song_a.hex() + "-dynamics-easy-v3.pat");
    EXPECT_NE(a, cache.entry_path(song_a, {"standard", "hard", 2}));
    EXPECT_NE(a, cache.entry_path(song_a, "zetaflux"));
    EXPECT_NE(a, cache.entry_path(song_b, "standard"));
}

TEST(StageCache, StoredEntryReadsBackWithItsEventCountAndNoTemporaryLeft) {
    test_support::scratch_dir dir;
    const stage_cache cache(dir.path());
    EXPECT_EQ(cache.check(song_a, "standard").state, entry_state::missing);
    std::string why;
    ASSERT_TRUE(cache.store(song_a, "standard", stage_bytes(7), why)) << why;
    const entry_check c = cache.check(song_a, "standard");
    EXPECT_EQ(c.state, entry_state::valid) << c.problem;
    EXPECT_EQ(c.events, 14u);
    EXPECT_EQ(cache.check(song_a, "zetaflux").state, entry_state::missing);
    EXPECT_EQ(cache.check(song_b, "standard").state, entry_state::missing);
    // Replacing an entry also goes through a temporary, which is gone after.
    ASSERT_TRUE(cache.store(song_a, "standard", stage_bytes(3), why)) << why;
    EXPECT_EQ(cache.check(song_a, "standard").events, 6u);
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(cache.stage_dir())) names.push_back(e.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{song_a.hex() + "-standard-v1.pat"});
}

TEST(StageCache, DamagedEntriesAreRefusedWithTheReason) {
    test_support::scratch_dir dir;
    const stage_cache cache(dir.path());
    const std::vector<std::uint8_t> whole = stage_bytes(5);
    struct damage {
        const char* name;
        std::vector<std::uint8_t> bytes;
        const char* reason;
    };
    std::vector<std::uint8_t> longer = whole;
    longer.push_back(0);
    std::vector<std::uint8_t> bad_count = whole;
    bad_count[0] = 3;
    const damage rows[] = {
        {"empty", {}, "is empty"},
        {"cut in a record", {whole.begin(), whole.begin() + 20}, "ends inside a record of group 1"},
        {"cut before the last terminator", {whole.begin(), whole.end() - 4}, "terminator of group 2"},
        {"bytes after the last group", longer, "bytes where its groups take"},
        {"bad group count", bad_count, "announces 3 groups"},
    };
    std::string why;
    ASSERT_TRUE(cache.store(song_a, "standard", whole, why)) << why;
    for (const damage& d : rows) {
        write_file(cache.entry_path(song_a, "standard"), d.bytes);
        const entry_check c = cache.check(song_a, "standard");
        EXPECT_EQ(c.state, entry_state::damaged) << d.name;
        EXPECT_NE(c.problem.find(d.reason), std::string::npos) << d.name << ": " << c.problem;
    }
    // Storing again puts a whole entry back.
    ASSERT_TRUE(cache.store(song_a, "standard", whole, why)) << why;
    EXPECT_EQ(cache.check(song_a, "standard").state, entry_state::valid);
    EXPECT_EQ(cache.check(song_a, "standard").checksum, checksum_text(whole.data(), whole.size()));
    // A flipped byte inside a record still loads: only the checksum, which
    // the song library holds it to, tells.
    std::vector<std::uint8_t> flipped = whole;
    flipped[10] ^= 0x40;
    write_file(cache.entry_path(song_a, "standard"), flipped);
    EXPECT_EQ(cache.check(song_a, "standard").state, entry_state::valid);
    EXPECT_NE(cache.check(song_a, "standard").checksum, checksum_text(whole.data(), whole.size()));
}

TEST(StageCache, StoreThatCannotWriteKeepsTheOldEntryAndNoTemporary) {
    test_support::scratch_dir dir;
    const stage_cache cache(dir.path());
    std::string why;
    ASSERT_TRUE(cache.store(song_a, "standard", stage_bytes(2), why)) << why;
    // A full disk, as far as this process can tell: writes past 100 bytes fail.
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 100;
    setrlimit(RLIMIT_FSIZE, &small);
    const bool stored = cache.store(song_a, "standard", stage_bytes(9), why);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_FALSE(stored);
    EXPECT_NE(why.find("File too large"), std::string::npos) << why;
    EXPECT_EQ(cache.check(song_a, "standard").events, 4u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(cache.stage_dir()), {}), 1);

    // Left by a writer killed before its rename: removed once old.
    const std::string orphan = cache.stage_dir() + "/." + song_a.hex() + "-standard.Ab12Cd";
    write_file(orphan, {1, 2, 3});
    EXPECT_EQ(cache.remove_stale_temporaries(3600), 0);
    std::filesystem::last_write_time(orphan, std::filesystem::last_write_time(orphan) - std::chrono::hours(2));
    EXPECT_EQ(cache.remove_stale_temporaries(3600), 1);
    EXPECT_EQ(cache.check(song_a, "standard").events, 4u);

    // No folder can be made under a file.
    write_file(dir / "file", {1});
    EXPECT_FALSE(stage_cache(dir / "file").store(song_a, "standard", stage_bytes(1), why));
    EXPECT_EQ(why, "cannot make the folder \"" + dir / "file/stages" + "\": Not a directory");
}
