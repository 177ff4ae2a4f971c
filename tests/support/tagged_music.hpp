#pragma once
// Short music files in FLAC, Ogg Vorbis and MP3, written with libsndfile,
// then tagged with TagLib: for the tests of tag reading and scanning, and
// for the music folders the benchmarks scan.
#include <sndfile.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tag.h>
#include <taglib/vorbisfile.h>
#include <taglib/xiphcomment.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace test_music {

enum class format { flac, ogg, mp3 };

inline const char* ending(format f) { return f == format::flac ? ".flac" : f == format::ogg ? ".ogg" : ".mp3"; }

struct tags {
    std::string title;  // UTF-8; empty writes no title
    std::string artist;
    std::string album;
    unsigned track = 0;
    unsigned year = 0;
    bool cover = false;
};

// Mono 44100 Hz, a tone whose pitch follows `seed`, so files differ.
inline void write_sound(const std::string& path, format f, double seconds, unsigned seed) {
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 1;
    info.format = f == format::flac  ? SF_FORMAT_FLAC | SF_FORMAT_PCM_16
                  : f == format::ogg ? SF_FORMAT_OGG | SF_FORMAT_VORBIS
                                     : SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
    SNDFILE* out = sf_open(path.c_str(), SFM_WRITE, &info);
    if (out == nullptr) throw std::runtime_error(path + ": " + sf_strerror(nullptr));
    const auto frames = static_cast<std::size_t>(seconds * 44100);
    std::vector<short> samples(frames);
    const double hz = 220.0 + 7.0 * (seed % 97);
    for (std::size_t n = 0; n < frames; ++n)
        samples[n] = static_cast<short>(8000 * std::sin(6.283185307179586 * hz * static_cast<double>(n) / 44100.0));
    const sf_count_t written = sf_writef_short(out, samples.data(), static_cast<sf_count_t>(frames));
    sf_close(out);
    if (written != static_cast<sf_count_t>(frames)) throw std::runtime_error(path + ": short write");
}

inline TagLib::String text(const std::string& utf8) { return TagLib::String(utf8, TagLib::String::UTF8); }

inline void fill(TagLib::Tag* t, const tags& with) {
    if (!with.title.empty()) t->setTitle(text(with.title));
    t->setArtist(text(with.artist));
    t->setAlbum(text(with.album));
    t->setTrack(with.track);
    t->setYear(with.year);
}

// The cover's bytes: `picture`, or a stand-in that is not a picture.
inline TagLib::ByteVector picture_bytes(const std::string& picture) {
    if (!picture.empty()) return TagLib::ByteVector(picture.data(), static_cast<unsigned>(picture.size()));
    return TagLib::ByteVector("\x89PNG\r\n\x1a\n not really a picture", 30);
}

// With.cover writes `picture` (an image file's bytes) as the front cover.
inline void write_tags(const std::string& path, format f, const tags& with, const std::string& picture = {}) {
    bool saved = false;
    if (f == format::flac) {
        TagLib::FLAC::File file(path.c_str());
        fill(file.xiphComment(true), with);
        if (with.cover) {
            auto* p = new TagLib::FLAC::Picture;
            p->setType(TagLib::FLAC::Picture::FrontCover);
            p->setMimeType("image/png");
            p->setData(picture_bytes(picture));
            file.addPicture(p);
        }
        saved = file.save();
    } else if (f == format::ogg) {
        TagLib::Ogg::Vorbis::File file(path.c_str());
        fill(file.tag(), with);
        if (with.cover) {
            auto* p = new TagLib::FLAC::Picture;
            p->setType(TagLib::FLAC::Picture::FrontCover);
            p->setMimeType("image/png");
            p->setData(picture_bytes(picture));
            file.tag()->addPicture(p);
        }
        saved = file.save();
    } else {
        // UTF-8 frames, so that damage() can put bad bytes into them.
        TagLib::ID3v2::FrameFactory::instance()->setDefaultTextEncoding(TagLib::String::UTF8);
        TagLib::MPEG::File file(path.c_str());
        TagLib::ID3v2::Tag* id3 = file.ID3v2Tag(true);
        fill(id3, with);
        if (with.cover) {
            auto* p = new TagLib::ID3v2::AttachedPictureFrame;
            p->setType(TagLib::ID3v2::AttachedPictureFrame::FrontCover);
            p->setMimeType("image/png");
            p->setPicture(picture_bytes(picture));
            id3->addFrame(p);
        }
        saved = file.save(TagLib::MPEG::File::ID3v2);
    }
    if (!saved) throw std::runtime_error(path + ": TagLib could not save the tags");
}

inline void write_music(const std::string& path, format f, const tags& with, double seconds = 0.2,
                        unsigned seed = 1) {
    write_sound(path, f, seconds, seed);
    write_tags(path, f, with);
}

// Replaces the first `marker` in the file's bytes by `bytes` of the same
// length: invalid UTF-8 in a tag, which TagLib would not write. FLAC and
// MP3 tags carry no checksum; an Ogg page does, so there it damages the page.
inline void damage(const std::string& path, const std::string& marker, const std::string& bytes) {
    if (marker.size() != bytes.size()) throw std::logic_error("damage keeps the length");
    std::vector<char> all;
    {
        std::ifstream in(path, std::ios::binary);
        all.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    const std::string whole(all.begin(), all.end());
    const std::size_t at = whole.find(marker);
    if (at == std::string::npos) throw std::runtime_error(path + ": marker not found");
    std::copy(bytes.begin(), bytes.end(), all.begin() + static_cast<std::ptrdiff_t>(at));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(all.data(), static_cast<std::streamsize>(all.size()));
}

}  // namespace test_music
