#include "musicfiles/tags.hpp"

#include <sndfile.h>
#include <sys/stat.h>
#include <taglib/aifffile.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/flacpicture.h>
#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/tag.h>
#include <taglib/vorbisfile.h>
#include <taglib/wavfile.h>
#include <taglib/xiphcomment.h>

#include <cerrno>
#include <cstring>
#include <strings.h>

#include "musicfiles/text.hpp"

namespace musicfiles {
namespace {

std::string text_of(const TagLib::String& s) { return clean_text(s.to8Bit(true)); }

bool id3v2_picture(TagLib::ID3v2::Tag* tag) { return tag != nullptr && !tag->frameListMap()["APIC"].isEmpty(); }

bool xiph_picture(TagLib::Ogg::XiphComment* tag) {
    return tag != nullptr && (!tag->pictureList().isEmpty() || tag->contains("METADATA_BLOCK_PICTURE") ||
                              tag->contains("COVERART"));
}

bool has_cover(TagLib::File* file) {
    if (auto* f = dynamic_cast<TagLib::MPEG::File*>(file)) return f->hasID3v2Tag() && id3v2_picture(f->ID3v2Tag());
    if (auto* f = dynamic_cast<TagLib::FLAC::File*>(file))
        return !f->pictureList().isEmpty() || (f->hasXiphComment() && xiph_picture(f->xiphComment()));
    if (auto* f = dynamic_cast<TagLib::Ogg::Vorbis::File*>(file)) return xiph_picture(f->tag());
    if (auto* f = dynamic_cast<TagLib::Ogg::Opus::File*>(file)) return xiph_picture(f->tag());
    if (auto* f = dynamic_cast<TagLib::RIFF::WAV::File*>(file)) return f->hasID3v2Tag() && id3v2_picture(f->ID3v2Tag());
    if (auto* f = dynamic_cast<TagLib::RIFF::AIFF::File*>(file)) return f->hasID3v2Tag() && id3v2_picture(f->tag());
    return false;
}

// A picture's bytes, the front cover's first: `front` tells one from another.
struct picture_choice {
    std::string bytes;
    bool front = false;
    void offer(const TagLib::ByteVector& data, bool is_front) {
        // The first front cover stays; else the first picture, until a front cover comes.
        if (data.isEmpty() || front || (!bytes.empty() && !is_front)) return;
        bytes.assign(data.data(), data.size());
        front = is_front;
    }
};

void id3v2_pictures(TagLib::ID3v2::Tag* tag, picture_choice& choice) {
    if (tag == nullptr) return;
    for (TagLib::ID3v2::Frame* frame : tag->frameListMap()["APIC"]) {
        if (auto* p = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame*>(frame))
            choice.offer(p->picture(), p->type() == TagLib::ID3v2::AttachedPictureFrame::FrontCover);
    }
}

void flac_pictures(const TagLib::List<TagLib::FLAC::Picture*>& pictures, picture_choice& choice) {
    for (const TagLib::FLAC::Picture* p : pictures)
        choice.offer(p->data(), p->type() == TagLib::FLAC::Picture::FrontCover);
}

// Formats TagLib does not know (AU, W64, CAF...) still play; the decoder's
// header gives their length.
bool sound_file_length(const std::string& path, double& seconds, std::string& problem) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (f == nullptr) {
        problem = sf_strerror(nullptr);
        return false;
    }
    seconds = info.samplerate > 0 ? static_cast<double>(info.frames) / info.samplerate : 0;
    sf_close(f);
    return true;
}

}  // namespace

tag_reading read_tags(const std::string& path) {
    tag_reading r;
    r.tags.title = title_from_file_name(path);
    {
        const TagLib::FileRef ref(path.c_str(), true, TagLib::AudioProperties::Fast);
        // TagLib takes any bytes named .mp3 for a valid file, with no
        // sound in it: without a sampling rate it has not read the file.
        const TagLib::AudioProperties* audio = ref.isNull() ? nullptr : ref.audioProperties();
        if (!ref.isNull() && ref.file()->isValid() && audio != nullptr && audio->sampleRate() > 0) {
            if (const TagLib::Tag* tag = ref.tag()) {
                const std::string title = text_of(tag->title());
                if (!title.empty()) r.tags.title = title;
                r.tags.artist = text_of(tag->artist());
                r.tags.album = text_of(tag->album());
                r.tags.track = static_cast<int>(tag->track());
                r.tags.year = static_cast<int>(tag->year());
            }
            r.tags.duration = audio->lengthInMilliseconds() / 1000.0;
            r.tags.cover = has_cover(ref.file());
            return r;
        }
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) {
        r.outcome = tag_outcome::vanished;
        return r;
    }
    if (st.st_size == 0) {
        r.outcome = tag_outcome::unreadable;
        r.problem = "the file is empty";
        return r;
    }
    // The decoder hands MP3 to a library that prints its complaints on
    // standard error, over the progress line; and where TagLib finds no
    // MPEG frame, it finds none either.
    std::string sound_problem = "no MPEG audio frame found";
    const bool mp3 = path.size() > 4 && strcasecmp(path.c_str() + path.size() - 4, ".mp3") == 0;
    if (!mp3 && sound_file_length(path, r.tags.duration, sound_problem)) {
        r.outcome = tag_outcome::sound_only;
        r.problem = "no tags that can be read";
        return r;
    }
    r.outcome = tag_outcome::unreadable;
    r.problem = "not a sound file that can be read (" + sound_problem + ")";
    return r;
}

namespace {

void file_pictures(TagLib::File* file, picture_choice& choice) {
    if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(file)) {
        if (mpeg->hasID3v2Tag()) id3v2_pictures(mpeg->ID3v2Tag(), choice);
        return;
    }
    if (auto* flac = dynamic_cast<TagLib::FLAC::File*>(file)) {
        flac_pictures(flac->pictureList(), choice);
        if (flac->hasXiphComment()) flac_pictures(flac->xiphComment()->pictureList(), choice);
        return;
    }
    if (auto* vorbis = dynamic_cast<TagLib::Ogg::Vorbis::File*>(file)) {
        if (vorbis->tag()) flac_pictures(vorbis->tag()->pictureList(), choice);
        return;
    }
    if (auto* opus = dynamic_cast<TagLib::Ogg::Opus::File*>(file)) {
        if (opus->tag()) flac_pictures(opus->tag()->pictureList(), choice);
        return;
    }
    if (auto* wav = dynamic_cast<TagLib::RIFF::WAV::File*>(file)) {
        if (wav->hasID3v2Tag()) id3v2_pictures(wav->ID3v2Tag(), choice);
        return;
    }
    if (auto* aiff = dynamic_cast<TagLib::RIFF::AIFF::File*>(file)) {
        if (aiff->hasID3v2Tag()) id3v2_pictures(aiff->tag(), choice);
    }
}

}  // namespace

std::string cover_picture(const std::string& path) {
    const TagLib::FileRef ref(path.c_str(), false);
    if (ref.isNull() || !ref.file()->isValid()) return {};
    picture_choice choice;
    file_pictures(ref.file(), choice);
    return choice.bytes;
}

}  // namespace musicfiles
