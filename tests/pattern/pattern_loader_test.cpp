// The pattern file loader. Each test loads into groups of its
// own; the game's globals are filled once per process and never cleared.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "pattern/pattern_loader.hpp"
#include "support/scratch.hpp"

namespace {

using bytes = std::vector<std::uint8_t>;
using shell_test::put_u32;

const bytes terminator{0xff, 0xff, 0xff, 0xff};

void append(bytes& b, const bytes& more) { b.insert(b.end(), more.begin(), more.end()); }

// A record written byte by byte: time, then the bit patterns of angle and speed.
bytes record(std::int32_t time, std::uint32_t angle_bits, std::uint32_t speed_bits) {
    bytes b;
    put_u32(b, static_cast<std::uint32_t>(time));
    put_u32(b, angle_bits);
    put_u32(b, speed_bits);
    return b;
}

constexpr std::uint32_t one_and_a_half = 0x3fc00000;     // 1.5f
constexpr std::uint32_t minus_two_and_a_quarter = 0xc0100000;  // -2.25f

struct loaded {
    pattern_group groups[pattern::max_groups];
    signed char count = 0;
    pattern_load_result result{};
    std::streampos stopped_at = -1;
};

// Loads into fresh groups; returned by pointer since groups do not copy.
std::unique_ptr<loaded> load(const bytes& file) {
    auto l = std::make_unique<loaded>();
    std::istringstream in(std::string(file.begin(), file.end()));
    l->result = load_pattern(in, l->groups, l->count);
    in.clear();
    l->stopped_at = in.tellg();
    return l;
}

bytes group_of(int records) {
    bytes b;
    for (int i = 0; i < records; ++i) append(b, record(i * 10, one_and_a_half, minus_two_and_a_quarter));
    append(b, terminator);
    return b;
}

}  // namespace

TEST(PatternLoader, OneEmptyGroup) {
    const auto l = load({0x01, 0xff, 0xff, 0xff, 0xff});
    EXPECT_EQ(l->result.status, pattern_load_status::loaded);
    EXPECT_EQ(l->count, 1);
    EXPECT_EQ(l->groups[0].count, 0u);
    EXPECT_EQ(l->groups[1].count, 0u);
}

TEST(PatternLoader, RecordsKeepTheirValuesAndFileOrderPerGroup) {
    bytes file{0x02};
    append(file, record(7, one_and_a_half, minus_two_and_a_quarter));
    append(file, record(3, minus_two_and_a_quarter, one_and_a_half));  // not sorted
    append(file, terminator);
    append(file, record(-2, 0x7fc00000, 0x00000001));  // -2, a NaN and a denormal, all kept
    append(file, terminator);
    const auto l = load(file);
    ASSERT_EQ(l->result.status, pattern_load_status::loaded);
    EXPECT_EQ(l->count, 2);
    ASSERT_EQ(l->groups[0].count, 2u);
    EXPECT_EQ(l->groups[0][0].time, 7);
    EXPECT_EQ(l->groups[0][0].angle, 1.5f);
    EXPECT_EQ(l->groups[0][0].speed, -2.25f);
    EXPECT_EQ(l->groups[0][1].time, 3);
    EXPECT_EQ(l->groups[0][1].angle, -2.25f);
    ASSERT_EQ(l->groups[1].count, 1u);
    EXPECT_EQ(l->groups[1][0].time, -2);
    std::uint32_t angle_bits, speed_bits;
    std::memcpy(&angle_bits, &l->groups[1][0].angle, 4);
    std::memcpy(&speed_bits, &l->groups[1][0].speed, 4);
    EXPECT_EQ(angle_bits, 0x7fc00000u);
    EXPECT_EQ(speed_bits, 0x00000001u);
}

TEST(PatternLoader, EightyFiveAndEightySixRecords) {
    bytes file{0x02};
    append(file, group_of(85));
    append(file, group_of(86));
    const auto l = load(file);
    ASSERT_EQ(l->result.status, pattern_load_status::loaded);
    EXPECT_EQ(l->groups[0].count, 85u);
    EXPECT_EQ(l->groups[0].chunks.size(), 1u);
    EXPECT_EQ(l->groups[1].count, 86u);
    EXPECT_EQ(l->groups[1].chunks.size(), 2u);
    EXPECT_EQ(l->groups[1][85].time, 850);
}

TEST(PatternLoader, BytesAfterTheLastTerminatorAreNeverRead) {
    bytes file{0x01};
    append(file, group_of(1));
    append(file, {0x12, 0x34, 0x56});  // neither a record nor a terminator
    append(file, group_of(2));
    const auto l = load(file);
    ASSERT_EQ(l->result.status, pattern_load_status::loaded);
    EXPECT_EQ(l->groups[0].count, 1u);
    EXPECT_EQ(l->groups[1].count, 0u);
    EXPECT_EQ(l->stopped_at, std::streampos(1 + 12 + 4));
}

TEST(PatternLoader, CountByteMustBeOneOrTwo) {
    for (int count : {0, 3, 127, 128, 255}) {
        const auto l = load({static_cast<std::uint8_t>(count), 0xff, 0xff, 0xff, 0xff});
        EXPECT_EQ(l->result.status, pattern_load_status::bad_group_count) << count;
        EXPECT_EQ(l->result.count_byte, count);
        EXPECT_EQ(l->count, static_cast<signed char>(count)) << "the byte is stored as read";
        EXPECT_EQ(l->stopped_at, std::streampos(1)) << "nothing read past the count";
    }
}

TEST(PatternLoader, RejectsAnEmptyFile) {
    const auto l = load({});
    EXPECT_EQ(l->result.status, pattern_load_status::empty);
    EXPECT_EQ(l->count, 0);
}

TEST(PatternLoader, RejectsMissingSecondTerminator) {
    bytes file{0x02};
    append(file, group_of(3));
    const auto l = load(file);
    EXPECT_EQ(l->result.status, pattern_load_status::missing_terminator);
    EXPECT_EQ(l->result.group, 1);
    EXPECT_EQ(l->groups[0].count, 3u) << "what was read stays";

    const auto bare = load({0x01});
    EXPECT_EQ(bare->result.status, pattern_load_status::missing_terminator);
    EXPECT_EQ(bare->result.group, 0);
}

TEST(PatternLoader, RejectsARecordCutShort) {
    bytes whole{0x01};
    append(whole, record(5, one_and_a_half, one_and_a_half));
    append(whole, record(6, one_and_a_half, one_and_a_half));
    // Cut inside the second record's angle, then inside its speed.
    for (std::size_t cut : {std::size_t{1 + 12 + 6}, std::size_t{1 + 12 + 10}}) {
        const auto l = load(bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)));
        EXPECT_EQ(l->result.status, pattern_load_status::cut_in_record) << cut;
        EXPECT_EQ(l->result.group, 0);
        EXPECT_EQ(l->groups[0].count, 1u);
    }
    // A time cut short is the end of the file before the terminator.
    const auto l = load(bytes(whole.begin(), whole.begin() + 1 + 12 + 2));
    EXPECT_EQ(l->result.status, pattern_load_status::missing_terminator);
}

TEST(PatternLoader, NamesTheFirstOfTwoGroupsWhenTheFileEndsInIt) {
    bytes whole{0x02};
    append(whole, record(5, one_and_a_half, one_and_a_half));
    const auto unterminated = load(whole);
    EXPECT_EQ(unterminated->result.status, pattern_load_status::missing_terminator);
    EXPECT_EQ(unterminated->result.group, 0);
    EXPECT_NE(describe_pattern_failure("x.pat", unterminated->result).find("terminator of group 1"), std::string::npos);

    const auto cut = load(bytes(whole.begin(), whole.end() - 2));
    EXPECT_EQ(cut->result.status, pattern_load_status::cut_in_record);
    EXPECT_EQ(cut->result.group, 0);
    EXPECT_NE(describe_pattern_failure("x.pat", cut->result).find("inside a record of group 1"), std::string::npos);
}

TEST(PatternLoaderFile, LoadsFromAPathAndRejectsAMissingFile) {
    shell_test::scratch_dir dir;
    bytes file{0x01};
    append(file, group_of(2));
    shell_test::write_bytes(dir / "ok.pat", file);

    pattern_group groups[pattern::max_groups];
    signed char count = 0;
    EXPECT_EQ(load_pattern_file((dir / "ok.pat").c_str(), groups, count).status, pattern_load_status::loaded);
    EXPECT_EQ(groups[0].count, 2u);

    pattern_group untouched[pattern::max_groups];
    signed char untouched_count = 0;
    const pattern_load_result missing = load_pattern_file((dir / "nope.pat").c_str(), untouched, untouched_count);
    EXPECT_EQ(missing.status, pattern_load_status::cannot_open);
    EXPECT_EQ(missing.os_error, ENOENT);
    EXPECT_EQ(untouched_count, 0);

    const pattern_load_result directory = load_pattern_file(dir.path().c_str(), untouched, untouched_count);
    EXPECT_EQ(directory.status, pattern_load_status::read_error);
    EXPECT_EQ(directory.os_error, EISDIR);
}

TEST(PatternLoaderFile, EveryFailureIsDescribedWithTheFileName) {
    const char* path = "songs/x.pat";
    const pattern_load_result failures[] = {
        {pattern_load_status::cannot_open, -1, -1, ENOENT},
        {pattern_load_status::read_error, -1, -1, EISDIR},
        {pattern_load_status::empty, -1, -1, 0},
        {pattern_load_status::bad_group_count, 3, -1, 0},
        {pattern_load_status::cut_in_record, 1, 0, 0},
        {pattern_load_status::missing_terminator, 2, 1, 0},
    };
    for (const pattern_load_result& r : failures) {
        const std::string line = describe_pattern_failure(path, r);
        EXPECT_NE(line.find("\"songs/x.pat\""), std::string::npos) << line;
        EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    }
    EXPECT_TRUE(describe_pattern_failure(path, {pattern_load_status::loaded, 1, -1, 0}).empty());
}
