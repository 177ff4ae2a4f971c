#include "frontend/options.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace frontend;

namespace {

parsed_options parse(std::vector<std::string> args) {
    args.insert(args.begin(), "velmora_play");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    return parse_options(static_cast<int>(argv.size()), argv.data());
}

}  // namespace

TEST(Options, TakeTheSongsEditionAndModes) {
    parsed_options p = parse({"--edition", "zetaflux", "song.ogg", "--fullscreen"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.what, command::play);
    EXPECT_EQ(p.options.edition, converter::edition::zetaflux);
    EXPECT_TRUE(p.options.fullscreen);
    EXPECT_EQ(p.options.songs, std::vector<std::string>{"song.ogg"});

    p = parse({"--prepare", "a", "--jobs=3", "--edition=standard", "b", "--", "--odd-name"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.what, command::prepare);
    EXPECT_EQ(p.options.jobs, 3u);
    EXPECT_EQ(p.options.songs, (std::vector<std::string>{"a", "b", "--odd-name"}));

    EXPECT_EQ(parse({"--list"}).options.what, command::list);
    EXPECT_EQ(parse({"--replay", "song", "--edition", "zetaflux"}).options.what, command::replay);
    EXPECT_EQ(parse({"song", "--help"}).options.what, command::help);
    EXPECT_EQ(parse({"--version"}).options.what, command::version);
}

TEST(Options, RefuseBadUsageSayingWhy) {
    const struct {
        std::vector<std::string> args;
        const char* error;
    } rows[] = {
        {{}, "no song given"},
        {{"a", "b"}, "one song at a time"},
        {{"--edition"}, "--edition needs"},
        {{"--edition", "deluxe", "a"}, "unknown edition \"deluxe\""},
        {{"--jobs", "0", "--prepare", "a"}, "--jobs takes"},
        {{"--jobs", "2x", "--prepare", "a"}, "--jobs takes"},
        {{"--window", "a"}, "unknown option \"--window\""},
        {{"--fullscreen=1", "a"}, "unknown option"},
        {{"--prepare"}, "--prepare needs"},
        {{"--list", "a"}, "--list takes no songs"},
        {{"--list", "--prepare", "a"}, "cannot be combined"},
        {{"--replay", "--prepare", "a"}, "--prepare and --replay cannot be combined"},
        {{"--replay"}, "--replay takes one song"},
        {{"--replay", "a", "b"}, "--replay takes one song"},
    };
    for (const auto& row : rows) {
        const parsed_options p = parse(row.args);
        EXPECT_FALSE(p.ok) << row.error;
        EXPECT_NE(p.error.find(row.error), std::string::npos) << p.error;
    }
}
