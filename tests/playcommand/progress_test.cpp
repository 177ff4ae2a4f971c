#include "playcommand/progress.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using namespace playcommand;

namespace {

std::string written(std::FILE* f) {
    std::fflush(f);
    std::string text;
    std::rewind(f);
    for (int c; (c = std::fgetc(f)) != EOF;) text += static_cast<char>(c);
    return text;
}

}  // namespace

TEST(Progress, PlainLinesOutsideATerminalBarsRedrawnInPlaceOnOne) {
    std::FILE* plain = std::tmpfile();
    {
        progress_display d(plain, false, 2);
        d.started(0, "a.wav");
        d.advanced(0, 0.3);
        d.advanced(0, 0.2);  // progress never goes back
        d.advanced(0, 0.6);
        d.finished(0, "a done");
    }
    EXPECT_EQ(written(plain), "velmora_play: preparing \"a.wav\"\nvelmora_play: \"a.wav\": 25%\n"
                              "velmora_play: \"a.wav\": 50%\na done\n");
    std::fclose(plain);

    std::FILE* terminal = std::tmpfile();
    {
        progress_display d(terminal, true, 2);
        d.started(1, "music/b.flac");
        d.finished(1, "b done");
    }
    const std::string text = written(terminal);
    EXPECT_NE(text.find("  0% [....."), std::string::npos) << text;
    EXPECT_NE(text.find("b.flac\nall 0 of 2 ["), std::string::npos) << text;
    // The bars are taken off before the finished line, and at the end.
    EXPECT_NE(text.find("\r\x1b[2A\x1b[Jb done\n"), std::string::npos) << text;
    const std::string last_erase = "\r\x1b[1A\x1b[J";
    EXPECT_EQ(text.substr(text.size() - last_erase.size()), last_erase) << text;
    std::fclose(terminal);

    // A name's control characters never reach the terminal: no escape
    // sequence, no line break that would leave a bar behind.
    std::FILE* named = std::tmpfile();
    {
        progress_display d(named, true, 1);
        d.started(0, "x\x1b[2Jy\nz.wav");
        d.finished(0, "\"x\x1b[2Jy\nz.wav\": done\nand a second line");
    }
    EXPECT_EQ(written(named), "  0% [" + std::string(28, '.') + "]            x?[2Jy?z.wav\n"
                              "\r\x1b[1A\x1b[J\"x?[2Jy\nz.wav\": done\nand a second line\n");
    std::fclose(named);

    EXPECT_EQ(progress_display::bar(0.5, 12), "[#####.....]");
    EXPECT_EQ(progress_display::time_left(3725), "1:02:05 left");
    EXPECT_EQ(progress_display::time_left(59.6), "1:00 left");
}
