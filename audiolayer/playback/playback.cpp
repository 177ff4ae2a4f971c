// The playback half of the audio layer, on SDL_mixer. SDL_mixer plays one
// music at a time, so a stream is a loaded Mix_Music and "the channel" is the
// mixer's music channel while that stream is the one last started.
#include <SDL.h>
#include <SDL_mixer.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "audiolayer/audiolayer.hpp"

namespace audiolayer {

namespace {

constexpr int output_channels = 2;       // stereo
constexpr int mixer_chunk_frames = 2048;  // about 46 ms at 44100 Hz

struct playback_state {
    bool opened = false;
    handle next_handle = 1;
    handle current = 0;  // the stream the music channel was last started with
    std::map<handle, Mix_Music*> streams;
    std::string error;
};

playback_state& state() {
    static playback_state s;
    return s;
}

bool fail(std::string why) {
    state().error = std::move(why);
    return false;
}

Mix_Music* find(handle h) {
    auto& s = state();
    auto it = s.streams.find(h);
    return it == s.streams.end() ? nullptr : it->second;
}

bool is_playing(handle h) { return h != 0 && state().current == h && Mix_PlayingMusic() != 0; }

bool start_from_beginning(handle h, Mix_Music* music) {
    if (Mix_PlayMusic(music, 0) != 0) return fail(std::string("cannot start playback: ") + Mix_GetError());
    state().current = h;
    return true;
}

}  // namespace

bool init(int device, std::uint32_t freq) {
    auto& s = state();
    if (s.opened) return fail("the audio output is already open");
    if (device != -1) return fail("only the default output device (-1) is supported");
    if (freq == 0 || freq > 192000) return fail("unsupported output frequency " + std::to_string(freq) + " Hz");
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) < 0) return fail(SDL_GetError());
    if (Mix_OpenAudio(static_cast<int>(freq), AUDIO_S16SYS, output_channels, mixer_chunk_frames) != 0) {
        std::string why = Mix_GetError();
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return fail(why);
    }
    s.opened = true;
    s.error.clear();
    return true;
}

// Also runs at process exit, after the window has already shut SDL down:
// SDL_mixer's own state still has to be released then, and its calls into SDL
// are harmless once the audio subsystem is gone.
bool release() {
    auto& s = state();
    if (!s.opened) return fail("the audio output is not open");
    for (auto& [h, music] : s.streams) Mix_FreeMusic(music);
    s.streams.clear();
    s.current = 0;
    Mix_CloseAudio();
    if (SDL_WasInit(SDL_INIT_AUDIO)) SDL_QuitSubSystem(SDL_INIT_AUDIO);
    s.opened = false;
    return true;
}

const char* last_error() { return state().error.c_str(); }

handle stream_create_file(const char* path) {
    auto& s = state();
    if (!s.opened) {
        fail("the audio output is not open");
        return 0;
    }
    if (!path) {
        fail("no file name");
        return 0;
    }
    // Opened once first only to tell a missing file from one the mixer
    // cannot decode.
    errno = 0;
    std::FILE* f = std::fopen(path, "rb");
    if (!f) {
        fail(errno ? std::strerror(errno) : "cannot open the file");
        return 0;
    }
    // A folder opens for reading too, and an empty file reaches a path of
    // the mixer's that loses memory; both are told apart here.
    struct stat st {};
    const bool is_folder = fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode);
    const bool is_empty = !is_folder && S_ISREG(st.st_mode) && st.st_size == 0;
    std::fclose(f);
    if (is_folder) {
        fail(std::strerror(EISDIR));
        return 0;
    }
    if (is_empty) {
        fail("the file is empty");
        return 0;
    }
    Mix_Music* music = Mix_LoadMUS(path);
    if (!music) {
        fail(std::string("not a WAV, OGG, MP3 or FLAC file that can be decoded (") + Mix_GetError() + ")");
        return 0;
    }
    const handle h = s.next_handle++;
    if (s.next_handle == 0) s.next_handle = 1;
    s.streams.emplace(h, music);
    return h;
}

bool stream_free(handle stream) {
    auto& s = state();
    Mix_Music* music = find(stream);
    if (!music) return fail("not a stream handle");
    if (s.current == stream) {
        Mix_HaltMusic();
        s.current = 0;
    }
    Mix_FreeMusic(music);
    s.streams.erase(stream);
    return true;
}

// Only the start is addressable: the mixer cannot seek every format, but
// it can always start a music over.
bool channel_set_position(handle channel, std::uint64_t byte_position) {
    Mix_Music* music = find(channel);
    if (!music) return fail("not a stream handle");
    if (byte_position != 0) return fail("only position 0 can be set");
    if (is_playing(channel)) return start_from_beginning(channel, music);
    return true;
}

// A stream that is not playing starts from its beginning; one that is playing
// carries on unless restart is asked for.
bool channel_play(handle channel, bool restart) {
    Mix_Music* music = find(channel);
    if (!music) return fail("not a stream handle");
    if (is_playing(channel) && !restart) return true;
    return start_from_beginning(channel, music);
}

bool channel_stop(handle channel) {
    auto& s = state();
    if (!find(channel)) return fail("not a stream handle");
    if (s.current == channel) {
        Mix_HaltMusic();
        s.current = 0;
    }
    return true;
}

}  // namespace audiolayer
