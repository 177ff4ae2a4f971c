#pragma once
// A generated music folder: `count` short tagged files in artist and album
// folders, mixed FLAC, Ogg Vorbis and MP3, some titles in Japanese or
// accented Latin, a few with damaged tags. The sound of each format is
// written once and copied, then each copy gets its own tags.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/tagged_music.hpp"

namespace music_bench {

inline std::vector<char> file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Where file k lies below the folder, and how it is tagged.
struct generated_song {
    std::string relative;
    test_music::format f;
    test_music::tags tags;
    bool damaged;  // its title is patched to bytes that are not UTF-8 (FLAC) or holds control characters
};

// A made-up word of two or three syllables, one of about 4,000, so that a
// word of a title is in few other titles, as in a real library.
inline std::string made_up_word(std::size_t n) {
    static const char* const syllables[] = {"ka", "lo", "mi", "ren", "tor", "vel", "su", "an",
                                            "dri", "no", "bel", "ya", "zu", "qui", "fa", "ro"};
    const std::size_t h = (n * 2654435761u) % 4352;
    std::string w;
    if (h < 256) {
        w = std::string(syllables[h / 16]) + syllables[h % 16];
    } else {
        const std::size_t g = h - 256;
        w = std::string(syllables[g / 256]) + syllables[g / 16 % 16] + syllables[g % 16];
    }
    w[0] = static_cast<char>(w[0] - 'a' + 'A');
    return w;
}

inline generated_song song_number(std::size_t k) {
    static const char* const japanese[] = {"夜の東京", "さくら色の風", "青い空と海", "星降る街角", "雨上がりの道"};
    static const char* const accented[] = {"Café Noir", "Ñandú Señor", "Über Straße", "Fête Déjà Vu", "Ærø Ø"};
    generated_song s;
    const std::size_t artist = k / 100, album = k / 10 % 10, track = k % 10 + 1;
    const test_music::format formats[] = {test_music::format::flac, test_music::format::ogg, test_music::format::mp3};
    s.f = formats[k % 3];
    std::string title = made_up_word(k * 3 + 1) + " " + made_up_word(k * 5 + 2);
    if (k % 19 == 3) title = std::string(japanese[k / 19 % 5]) + " " + std::to_string(k);
    if (k % 23 == 1) title = std::string(accented[k / 23 % 5]) + " " + made_up_word(k);
    s.damaged = k % 97 == 50;
    if (s.damaged) title = s.f == test_music::format::flac ? "BADUTF8X" : "Bad\x1b[2J\ttag " + std::to_string(k);
    s.tags = {title, made_up_word(artist * 7 + 3) + " " + made_up_word(artist * 11 + 5),
              made_up_word(artist * 13 + album) + " " + made_up_word(album + 17),
              static_cast<unsigned>(track), static_cast<unsigned>(1970 + k % 50), k % 11 == 0};
    char name[32];
    std::snprintf(name, sizeof name, "%02zu track %zu", track, k);
    s.relative = "artist " + std::to_string(artist) + "/album " + std::to_string(album) + "/" + name +
                 test_music::ending(s.f);
    return s;
}

// Writes songs first..first+count-1 under `folder`; `progress` is called
// every thousand files.
template <class Progress>
void make_music_folder(const std::string& folder, std::size_t first, std::size_t count, Progress progress) {
    mkdir(folder.c_str(), 0755);
    std::vector<char> sound[3];
    for (int f = 0; f < 3; ++f) {
        const std::string path = folder + "/.template" + test_music::ending(static_cast<test_music::format>(f));
        test_music::write_sound(path, static_cast<test_music::format>(f), 0.1, 5);
        sound[f] = file_bytes(path);
        std::remove(path.c_str());
    }
    for (std::size_t k = first; k < first + count; ++k) {
        const generated_song s = song_number(k);
        const std::string path = folder + "/" + s.relative;
        const std::size_t album_slash = path.find_last_of('/');
        const std::size_t artist_slash = path.find_last_of('/', album_slash - 1);
        mkdir(path.substr(0, artist_slash).c_str(), 0755);
        mkdir(path.substr(0, album_slash).c_str(), 0755);
        {
            const std::vector<char>& bytes = sound[static_cast<int>(s.f)];
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        }
        test_music::write_tags(path, s.f, s.tags);
        if (s.damaged && s.f == test_music::format::flac) test_music::damage(path, "BADUTF8X", "B\xff\xfe\xc0 bad");
        if ((k - first + 1) % 1000 == 0) progress(k - first + 1);
    }
}

}  // namespace music_bench
