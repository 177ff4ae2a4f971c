#include "musicfiles/tags.hpp"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <fstream>

#include "support/scratch_dir.hpp"
#include "support/tagged_music.hpp"

using namespace musicfiles;
using test_music::format;

TEST(ReadTags, EachFormatGivesItsTagsLengthAndCover) {
    struct row {
        format f;
        test_music::tags written;
    } rows[] = {
        {format::flac, {"東京タワーの夜", "Zoë Keating", "Into the Trees", 3, 2010, true}},
        {format::ogg, {"Café del Mar", "Sigur Rós", "Ágætis byrjun", 7, 1999, true}},
        {format::mp3, {"Für Elise", "Ludwig van Beethoven", "Bagatellen", 25, 1810, true}},
        {format::mp3, {"Plain", "Someone", "", 0, 0, false}},
        {format::ogg, {"No Picture", "", "", 1, 0, false}},
    };
    test_support::scratch_dir dir;
    int n = 0;
    for (const row& r : rows) {
        const std::string path = dir / ("song" + std::to_string(n++) + test_music::ending(r.f));
        test_music::write_music(path, r.f, r.written, 0.5);
        const tag_reading read = read_tags(path);
        EXPECT_EQ(read.outcome, tag_outcome::read) << path << " " << read.problem;
        EXPECT_EQ(read.tags.title, r.written.title) << path;
        EXPECT_EQ(read.tags.artist, r.written.artist) << path;
        EXPECT_EQ(read.tags.album, r.written.album) << path;
        EXPECT_EQ(read.tags.track, static_cast<int>(r.written.track)) << path;
        EXPECT_EQ(read.tags.year, static_cast<int>(r.written.year)) << path;
        EXPECT_EQ(read.tags.cover, r.written.cover) << path;
        // MP3 frames and Ogg pages round the length a little.
        EXPECT_NEAR(read.tags.duration, 0.5, 0.1) << path;
    }
}

// The cover's own bytes, in each format that holds one, and nothing where
// there is none.
TEST(CoverPicture, GivesThePictureBytesTheTagsHold) {
    test_support::scratch_dir dir;
    const std::string picture = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(40, '\x07') + "end";
    int n = 0;
    for (format f : {format::flac, format::ogg, format::mp3}) {
        const std::string path = dir / ("covered" + std::to_string(n++) + test_music::ending(f));
        test_music::write_sound(path, f, 0.2, 1);
        test_music::write_tags(path, f, {"T", "A", "B", 1, 2000, true}, picture);
        EXPECT_EQ(cover_picture(path), picture) << path;
        const std::string bare = dir / ("bare" + std::to_string(n++) + test_music::ending(f));
        test_music::write_music(bare, f, {"T", "A", "B", 1, 2000, false});
        EXPECT_EQ(cover_picture(bare), "") << bare;
    }
    EXPECT_EQ(cover_picture(dir / "missing.flac"), "");
    std::ofstream(dir / "text.mp3") << "not music";
    EXPECT_EQ(cover_picture(dir / "text.mp3"), "");
}

TEST(ReadTags, BadTagsAndFilesGiveCleanTextOrAReason) {
    test_support::scratch_dir dir;
    // No title: the file name without its ending.
    test_music::write_music(dir / "01 Untitled.flac", format::flac, {"", "A", "", 0, 0, false});
    EXPECT_EQ(read_tags(dir / "01 Untitled.flac").tags.title, "01 Untitled");
    // Control characters become '?'; bytes that are not UTF-8, U+FFFD.
    test_music::write_music(dir / "esc.mp3", format::mp3, {"red\x1b[31m\nline", "BADUTF8X", "", 0, 0, false});
    test_music::damage(dir / "esc.mp3", "BADUTF8X", "b\xff\xfe\xc0zzzz");
    const tag_reading esc = read_tags(dir / "esc.mp3");
    EXPECT_EQ(esc.tags.title, "red?[31m?line");
    // TagLib drops a text frame that is not UTF-8 rather than pass its bytes on.
    EXPECT_EQ(esc.tags.artist, "");
    // A Vorbis comment that is not UTF-8 is dropped by TagLib: the file name stands in.
    test_music::write_music(dir / "bad.flac", format::flac, {"BADUTF8X", "Artist", "", 0, 0, false});
    test_music::damage(dir / "bad.flac", "BADUTF8X", "ok\xff\xfe\xed\xa0\x80!");
    EXPECT_EQ(read_tags(dir / "bad.flac").tags.title, "bad");
    EXPECT_EQ(read_tags(dir / "bad.flac").tags.artist, "Artist");

    // TagLib knows no AU files; the decoder's header gives the length.
    {
        SF_INFO info{};
        info.samplerate = 8000;
        info.channels = 1;
        info.format = SF_FORMAT_AU | SF_FORMAT_PCM_16;
        SNDFILE* f = sf_open((dir / "old.au").c_str(), SFM_WRITE, &info);
        std::vector<short> silence(16000);
        sf_writef_short(f, silence.data(), 16000);
        sf_close(f);
    }
    const tag_reading au = read_tags(dir / "old.au");
    EXPECT_EQ(au.outcome, tag_outcome::sound_only);
    EXPECT_EQ(au.tags.title, "old");
    EXPECT_DOUBLE_EQ(au.tags.duration, 2.0);

    std::ofstream(dir / "text.mp3") << "this is not music at all, only words";
    EXPECT_EQ(read_tags(dir / "text.mp3").outcome, tag_outcome::unreadable);
    std::ofstream(dir / "text.wav") << "this is not music at all, only words";
    EXPECT_EQ(read_tags(dir / "text.wav").outcome, tag_outcome::unreadable);
    std::ofstream(dir / "empty.ogg").close();
    EXPECT_EQ(read_tags(dir / "empty.ogg").problem, "the file is empty");
    EXPECT_EQ(read_tags(dir / "never.flac").outcome, tag_outcome::vanished);
}
