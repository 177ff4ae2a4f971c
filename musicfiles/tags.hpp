#pragma once
#include <string>

namespace musicfiles {

// What the library shows of a music file, read from its tags.
struct file_tags {
    std::string title;  // the file name without its ending when the file has no title
    std::string artist;
    std::string album;
    int track = 0;  // 0 when none
    int year = 0;   // 0 when none
    double duration = 0;  // seconds; 0 when unknown
    bool cover = false;   // holds a picture
};

enum class tag_outcome {
    read,        // tags (maybe none) and audio properties read
    sound_only,  // TagLib cannot read it but the decoder opens it: named by its file name
    unreadable,  // neither can: not a sound file this program plays
    vanished,    // no longer there
};

struct tag_reading {
    tag_outcome outcome = tag_outcome::read;
    file_tags tags;
    std::string problem;  // why TagLib, or both, could not read it
};

// Reads the tags and the fast audio properties of one file; every text is
// cleaned (see clean_text). Safe to call from several threads at once.
tag_reading read_tags(const std::string& path);

// The bytes of the picture the file's tags hold as its cover (an ID3v2
// APIC frame, a FLAC picture block, a Vorbis comment's picture): the one
// marked as the front cover, else the first; empty when there is none or the
// file cannot be read. The bytes are the image file's (PNG, JPEG...) as
// stored, not checked. Safe to call from several threads at once.
std::string cover_picture(const std::string& path);

}  // namespace musicfiles
