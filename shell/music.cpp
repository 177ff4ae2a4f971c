#include "shell/music.hpp"

#include "audiolayer/playback.hpp"

namespace playback = audiolayer::playback;

bool music_playing() { return music_stream != 0 && playback::channel_is_playing(music_stream); }

bool music_clock(music_pacing::reading& r) {
    playback::output_clock c{};
    if (music_stream == 0 || !playback::channel_get_clock(music_stream, &c)) return false;
    r = music_pacing::reading{c.frames, c.latency_frames, c.rate, c.handed_at_us};
    return true;
}

bool music_pause() { return music_stream != 0 && playback::channel_pause(music_stream); }

bool music_resume() { return music_stream != 0 && playback::channel_play(music_stream, false); }
