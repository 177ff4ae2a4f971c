#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <string>
#include <vector>

#include "converter/convert.hpp"
#include "converter/output_file.hpp"
#include "pattern/byte_order.hpp"
#include "kernel_sets.hpp"
#include "reference.hpp"
#include "support/scratch_dir.hpp"
#include "support/sound_files.hpp"

using test_support::scratch_dir;

using converter::edition;
using converter::wave_sample;

namespace {

struct written {
    std::vector<std::uint8_t> bytes;
    std::string console;
};

written write_pattern(const std::vector<std::int16_t>& values, unsigned channels, edition ed = edition::standard,
                      unsigned threads = 1) {
    wave_sample source(44100, channels, values);
    pattern::vector_sink sink;
    std::ostringstream out;
    converter::console con(out, converter::console_encoding::utf8);
    converter::write_pattern(source, ed, sink, con, threads);
    return {sink.bytes, out.str()};
}

std::vector<std::vector<bullet_pattern_element>> groups_of(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::vector<bullet_pattern_element>> groups;
    std::size_t p = 1;
    auto word = [&](std::size_t at) {
        if (at + 4 > bytes.size()) throw std::out_of_range("the pattern bytes end inside a word");
        return pattern::decode_le32(&bytes[at]);
    };
    for (unsigned g = 0; g < bytes.at(0); ++g) {
        groups.emplace_back();
        while (word(p) != 0xFFFFFFFFu) {
            bullet_pattern_element e;
            e.time = static_cast<std::int32_t>(word(p));
            const std::uint32_t a = word(p + 4), s = word(p + 8);
            std::memcpy(&e.angle, &a, 4);
            std::memcpy(&e.speed, &s, 4);
            groups.back().push_back(e);
            p += 12;
        }
        p += 4;
    }
    EXPECT_EQ(p, bytes.size()) << "bytes after the last terminator";
    return groups;
}

std::vector<std::int16_t> music(std::size_t frames, unsigned seed) {
    return test_sound::pulsing_tone(frames, 700.0 + 100.0 * seed, 4.0 + seed, 15000.0, seed);
}

}  // namespace

TEST(WritePattern, SourceUnderOneSecondGivesCountAndTerminatorsOnly) {
    const auto stereo = write_pattern(std::vector<std::int16_t>(2 * 44099, 1000), 2);
    EXPECT_EQ(stereo.bytes, (std::vector<std::uint8_t>{0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(stereo.console, "");
    const auto mono = write_pattern(std::vector<std::int16_t>(100, 5), 1);
    EXPECT_EQ(mono.bytes, (std::vector<std::uint8_t>{0x01, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(WritePattern, PrintsOneProgressLinePerChannelAndSecond) {
    const auto w = write_pattern(std::vector<std::int16_t>(2 * (3 * 44100 + 500), 0), 2);
    EXPECT_EQ(w.console,
              "1 / 3 : 1 / 2\n2 / 3 : 1 / 2\n3 / 3 : 1 / 2\n"
              "1 / 3 : 2 / 2\n2 / 3 : 2 / 2\n3 / 3 : 2 / 2\n");
    EXPECT_EQ(w.bytes, (std::vector<std::uint8_t>{0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(WritePattern, EqualsThePlainComputationInBothEditions) {
    const auto stereo = test_sound::interleave({music(3 * 44100 + 1234, 1), music(3 * 44100 + 1234, 2)});
    for (edition ed : {edition::standard, edition::zetaflux}) {
        const auto want = reference::pattern_file(stereo, 2, ed == edition::zetaflux);
        ASSERT_GT(want.size(), 1000u) << "the test signal should make bursts";
        with_each_kernel_set([&] {
            EXPECT_EQ(write_pattern(stereo, 2, ed).bytes, want) << (ed == edition::zetaflux ? "zetaflux" : "standard");
        });
    }
}

TEST(WritePattern, AnyThreadCountGivesTheSameBytesAndLines) {
    const std::size_t frames = 5 * 44100 + 77;
    const auto stereo = test_sound::interleave({music(frames, 1), music(frames, 2)});
    const auto mono = music(frames, 3);
    for (const auto& [values, channels] : {std::pair{stereo, 2u}, std::pair{mono, 1u}}) {
        for (edition ed : {edition::standard, edition::zetaflux}) {
            const auto want = reference::pattern_file(values, channels, ed == edition::zetaflux);
            const std::string lines = write_pattern(values, channels, ed, 1).console;
            ASSERT_EQ(std::count(lines.begin(), lines.end(), '\n'), 5 * channels);
            for (unsigned threads : {1u, 2u, 3u, 7u}) {
                const auto w = write_pattern(values, channels, ed, threads);
                EXPECT_EQ(w.bytes, want) << channels << " channels, " << threads << " threads";
                EXPECT_EQ(w.console, lines) << channels << " channels, " << threads << " threads";
            }
        }
    }
}

TEST(WritePattern, ReportsProgressInFileOrder) {
    wave_sample source(44100, 2, std::vector<std::int16_t>(2 * 3 * 44100, 0));
    for (unsigned threads : {1u, 3u}) {
        std::vector<std::string> calls;
        pattern::vector_sink sink;
        converter::write_pattern(
            source, edition::standard, sink,
            [&](unsigned group, std::uint32_t second, std::uint32_t seconds) {
                calls.push_back(std::to_string(group) + ":" + std::to_string(second) + "/" + std::to_string(seconds));
            },
            threads);
        EXPECT_EQ(calls, (std::vector<std::string>{"0:0/3", "0:1/3", "0:2/3", "1:0/3", "1:1/3", "1:2/3"}));
    }
}

namespace {

// A source read block by block that tells its length only at its end (as an
// MPEG file does), hands out at most `block` frames a read, and can fail
// after `fail_after` frames.
class trickling_stream : public converter::sample_stream {
public:
    trickling_stream(const std::vector<std::int16_t>& values, unsigned channels, std::size_t block,
                     std::size_t fail_after = SIZE_MAX)
        : values_(values), channels_(channels), block_(block), fail_after_(fail_after) {}
    std::uint32_t rate() const override { return 44100; }
    unsigned channels() const override { return channels_; }
    std::uint64_t frames() const override { return ended_ ? values_.size() / channels_ : 0; }
    std::size_t read(std::int16_t* out, std::size_t count) override {
        if (next_ >= fail_after_) throw converter::source_failed("damaged here");
        const std::size_t n = std::min({count, block_, values_.size() / channels_ - next_});
        std::copy_n(values_.begin() + static_cast<std::ptrdiff_t>(next_ * channels_), n * channels_, out);
        next_ += n;
        if (n == 0) ended_ = true;
        return n;
    }

private:
    const std::vector<std::int16_t>& values_;
    unsigned channels_;
    std::size_t block_;
    std::size_t fail_after_;
    std::size_t next_ = 0;
    bool ended_ = false;
};

}  // namespace

// Read a little at a time and with its length told only at the end, a
// source gives the same bytes and the same progress lines (printed at its
// end, when the number of seconds is known) in every edition and difficulty.
TEST(WritePattern, AStreamOfUnknownLengthGivesTheSameStage) {
    const std::size_t frames = 4 * 44100 + 123;
    const auto stereo = test_sound::interleave({music(frames, 4), music(frames, 5)});
    for (edition ed : {edition::standard, edition::zetaflux, edition::dynamics}) {
        for (converter::difficulty d :
             {converter::difficulty::easy, converter::difficulty::normal, converter::difficulty::hard}) {
            wave_sample source(44100, 2, stereo);
            pattern::vector_sink want;
            std::ostringstream want_lines;
            converter::console want_con(want_lines, converter::console_encoding::utf8);
            converter::write_pattern(source, ed, d, want, want_con, 1);
            for (unsigned threads : {1u, 2u, 5u}) {
                for (std::size_t block : {1000u, 44100u, 100000u}) {
                    trickling_stream stream(stereo, 2, block);
                    pattern::vector_sink got;
                    std::ostringstream lines;
                    converter::console con(lines, converter::console_encoding::utf8);
                    converter::write_pattern(stream, ed, d, got, con, threads);
                    EXPECT_EQ(got.bytes, want.bytes) << threads << " threads, blocks of " << block;
                    EXPECT_EQ(lines.str(), want_lines.str()) << threads << " threads, blocks of " << block;
                }
            }
        }
    }
}

// A source found damaged on the way stops the conversion: the failure
// reaches the caller, and no file is left at the output path.
TEST(WritePattern, ASourceThatFailsOnTheWayReachesTheCaller) {
    scratch_dir dir;
    const std::size_t frames = 6 * 44100;
    const auto stereo = test_sound::interleave({music(frames, 6), music(frames, 7)});
    for (unsigned threads : {1u, 3u}) {
        for (std::size_t fail_after : {std::size_t{0}, std::size_t{44100 * 3 + 10}, frames}) {
            trickling_stream stream(stereo, 2, 5000, fail_after);
            std::ostringstream lines;
            converter::console con(lines, converter::console_encoding::utf8);
            EXPECT_THROW(converter::convert(stream, dir / "out.pat", edition::standard, converter::difficulty::hard, con,
                                            threads),
                         converter::source_failed);
            EXPECT_EQ(dir.entries(), std::vector<std::string>{}) << threads << " threads, " << fail_after;
        }
    }
}

TEST(WritePattern, AnExceptionInTheProgressReportStopsEveryThread) {
    wave_sample source(44100, 1, music(6 * 44100, 9));
    pattern::vector_sink sink;
    auto fail_at_third = [](unsigned, std::uint32_t second, std::uint32_t) {
        if (second == 2) throw std::runtime_error("stop");
    };
    EXPECT_THROW(converter::write_pattern(source, edition::standard, sink, fail_at_third, 4), std::runtime_error);
}

TEST(WritePattern, GroupsAreOrderedAndHoldOnlyTheirOwnChannel) {
    const std::size_t frames = 2 * 44100;
    const std::vector<std::int16_t> silence(frames, 0);
    const auto first_only = groups_of(write_pattern(test_sound::interleave({music(frames, 3), silence}), 2).bytes);
    const auto second_only = groups_of(write_pattern(test_sound::interleave({silence, music(frames, 3)}), 2).bytes);
    ASSERT_EQ(first_only.size(), 2u);
    ASSERT_FALSE(first_only[0].empty());
    EXPECT_TRUE(first_only[1].empty());
    EXPECT_TRUE(second_only[0].empty());
    ASSERT_EQ(second_only[1].size(), first_only[0].size());

    const float pi = reference::pi();
    for (std::size_t k = 0; k < first_only[0].size(); ++k) {
        const auto& a = first_only[0][k];
        const auto& b = second_only[1][k];
        EXPECT_EQ(a.time, b.time);
        EXPECT_EQ(a.speed, b.speed);
        EXPECT_GE(a.angle, -pi / 2);
        EXPECT_LT(a.angle, pi / 2);
        EXPECT_GE(b.angle, pi / 2);
        EXPECT_LT(b.angle, 3 * pi / 2);
        EXPECT_GE(a.time, 0);
        EXPECT_LT(a.time, 120);
        if (k > 0) {
            EXPECT_LE(first_only[0][k - 1].time, a.time);
        }
    }
}

TEST(WritePattern, MonoSourceMakesOneGroupFromItsOnlyChannel) {
    const auto mono = music(2 * 44100 + 10, 4);
    const auto w = write_pattern(mono, 1);
    EXPECT_EQ(w.console, "1 / 2 : 1 / 2\n2 / 2 : 1 / 2\n");
    EXPECT_EQ(w.bytes, reference::pattern_file(mono, 1, false));
    EXPECT_EQ(w.bytes.at(0), 1);
}

TEST(WritePattern, ThreeChannelsConvertTheFirstTwo) {
    const std::size_t frames = 2 * 44100;
    const auto a = music(frames, 5), b = music(frames, 6), c = music(frames, 7);
    const auto three = write_pattern(test_sound::interleave({a, b, c}), 3);
    const auto two = write_pattern(test_sound::interleave({a, b}), 2);
    EXPECT_EQ(three.bytes, two.bytes);
    EXPECT_EQ(three.bytes.at(0), 2);
    EXPECT_EQ(three.console, two.console);
}

TEST(WritePattern, SteadyToneMakesNoRecords) {
    const auto tone = test_sound::frame_periodic_tone(3 * 44100, 600.0, 20000.0);
    EXPECT_EQ(write_pattern(test_sound::interleave({tone, tone}), 2).bytes,
              (std::vector<std::uint8_t>{0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
}

class ConvertToFile : public ::testing::Test {
protected:
    bool run(const std::string& path) {
        console_text.str("");
        converter::console con(console_text, converter::console_encoding::utf8);
        return converter::convert(source, path, edition::standard, con);
    }
    scratch_dir dir;
    wave_sample source{44100, 1, music(44100, 8)};
    std::ostringstream console_text;
    // One empty group: a pattern file an earlier conversion may have left.
    const std::vector<std::uint8_t> earlier_pattern{0x01, 0xff, 0xff, 0xff, 0xff};
};

TEST_F(ConvertToFile, WritesTheFileAndLeavesNothingElse) {
    ASSERT_TRUE(run(dir / "out.pat"));
    EXPECT_EQ(console_text.str(), "1 / 1 : 1 / 2\n");
    EXPECT_EQ(test_sound::read_bytes(dir / "out.pat"), reference::pattern_file(music(44100, 8), 1, false));
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"out.pat"}));
}

TEST_F(ConvertToFile, ReplacesAnExistingFileKeepingItsPermissions) {
    test_sound::write_bytes(dir / "out.pat", earlier_pattern);
    chmod((dir / "out.pat").c_str(), 0640);
    ASSERT_TRUE(run(dir / "out.pat"));
    EXPECT_EQ(test_sound::read_bytes(dir / "out.pat"), reference::pattern_file(music(44100, 8), 1, false));
    struct stat st;
    ASSERT_EQ(stat((dir / "out.pat").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(ConvertToFile, WritesThroughASymbolicLink) {
    test_sound::write_bytes(dir / "target.pat", earlier_pattern);
    ASSERT_EQ(symlink("target.pat", (dir / "link.pat").c_str()), 0);
    ASSERT_TRUE(run(dir / "link.pat"));
    struct stat st;
    ASSERT_EQ(lstat((dir / "link.pat").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(test_sound::read_bytes(dir / "target.pat"), reference::pattern_file(music(44100, 8), 1, false));
}

TEST_F(ConvertToFile, WritesIntoDevicesAndPipesInPlace) {
    ASSERT_TRUE(run("/dev/null"));
    struct stat st;
    ASSERT_EQ(stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << "the device node must survive";

    const std::string fifo = dir / "pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::vector<std::uint8_t> received;
    std::thread reader([&] { received = test_sound::read_bytes(fifo); });
    EXPECT_TRUE(run(fifo));
    reader.join();
    EXPECT_EQ(received, reference::pattern_file(music(44100, 8), 1, false));
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"pipe"}));
}

TEST_F(ConvertToFile, RefusesPathsThatCannotTakeAFile) {
    ASSERT_EQ(mkdir((dir / "folder").c_str(), 0755), 0);
    for (const std::string& bad : {dir / "missing/out.pat", dir / "folder", dir / "folder/"}) {
        EXPECT_FALSE(run(bad)) << bad;
        EXPECT_EQ(console_text.str(), "出力ファイルの生成に失敗しました.\n") << bad;
    }
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"folder"}));
}

// Only an empty file or one the game's loader takes whole may be replaced;
// bytes after the last terminator are never read, so they do not count.
TEST_F(ConvertToFile, ReplacesOnlyEmptyOrPatternFiles) {
    const std::vector<std::vector<std::uint8_t>> others = {
        {'R', 'I', 'F', 'F', 0x24, 0, 0, 0, 'W', 'A', 'V', 'E'},  // music
        {0x01, 0x05, 0x00, 0x00, 0x00, 0x00},                    // a pattern file cut short
        {0x02, 0xff, 0xff, 0xff, 0xff},                          // a terminator missing
    };
    for (const auto& bytes : others) {
        test_sound::write_bytes(dir / "other", bytes);
        EXPECT_FALSE(run(dir / "other"));
        EXPECT_EQ(console_text.str(), "出力ファイルの生成に失敗しました.\n");
        EXPECT_EQ(test_sound::read_bytes(dir / "other"), bytes);
    }
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"other"}));

    const std::vector<std::vector<std::uint8_t>> replaceable = {{}, earlier_pattern, {0x01, 0xff, 0xff, 0xff, 0xff, 'x'}};
    for (const auto& bytes : replaceable) {
        test_sound::write_bytes(dir / "out.pat", bytes);
        EXPECT_TRUE(run(dir / "out.pat"));
        EXPECT_EQ(test_sound::read_bytes(dir / "out.pat"), reference::pattern_file(music(44100, 8), 1, false));
    }
}

TEST_F(ConvertToFile, LeavesAReadOnlyFileAlone) {
    if (geteuid() == 0) GTEST_SKIP() << "root may write any file";
    test_sound::write_bytes(dir / "locked.pat", {7, 7});
    chmod((dir / "locked.pat").c_str(), 0444);
    EXPECT_FALSE(run(dir / "locked.pat"));
    EXPECT_EQ(test_sound::read_bytes(dir / "locked.pat"), (std::vector<std::uint8_t>{7, 7}));
}

TEST(OutputFile, AFailedWriteKeepsTheOldFile) {
    scratch_dir dir;
    const std::vector<std::uint8_t> earlier{1, 0xff, 0xff, 0xff, 0xff};
    test_sound::write_bytes(dir / "out.pat", earlier);
    {
        converter::output_file out(dir / "out.pat");
        ASSERT_TRUE(out.created());
        const std::uint8_t b[3] = {9, 9, 9};
        out.put(b, 3);
        // Abandoned without commit, as when the conversion throws.
    }
    EXPECT_EQ(test_sound::read_bytes(dir / "out.pat"), earlier);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"out.pat"}));
}
