#include "shell/effects.hpp"

#include "audiolayer/playback.hpp"
#include "shell/data_files.hpp"

namespace playback = audiolayer::playback;

namespace {

unsigned cued = 0;

const char* const files[effect_count] = {"data/sounds/graze.wav", "data/sounds/hit.wav", "data/sounds/bomb.wav",
                                         "data/sounds/chain.wav"};

struct effects_state {
    bool on = false;
    bool loaded = false;
    playback::handle sounds[effect_count] = {};
    effect_gate gate;
};

effects_state& effects() {
    static effects_state s;
    return s;
}

}  // namespace

void cue_effect(effect e) { cued |= 1u << static_cast<unsigned>(e); }

unsigned take_effect_cues() {
    const unsigned c = cued;
    cued = 0;
    return c;
}

unsigned effect_gate::pass(unsigned cues, std::int64_t update) {
    unsigned out = 0;
    for (int k = 0; k < effect_count; ++k) {
        const unsigned bit = 1u << k;
        if (!(cues & bit) || (played_in_frame_ & bit) || update - last_[k] < spacing[k]) continue;
        last_[k] = update;
        out |= bit;
    }
    played_in_frame_ |= out;
    return out;
}

const char* effect_file(effect e) { return files[static_cast<unsigned>(e)]; }

std::string start_effects(int volume) {
    effects_state& s = effects();
    s.gate = effect_gate{};
    take_effect_cues();
    s.on = false;
    if (volume <= 0) return {};
    if (!s.loaded) {
        for (int k = 0; k < effect_count; ++k) {
            if (s.sounds[k] != 0) continue;
            const std::string file = find_data_file(files[k]);
            if (file.empty()) {
                return std::string("cannot find the sound \"") + files[k] +
                       "\" in the working directory, beside the program or in the installed data";
            }
            s.sounds[k] = playback::sample_load_file(file.c_str());
            if (s.sounds[k] == 0) return "cannot load the sound \"" + file + "\": " + playback::last_error();
        }
        s.loaded = true;
    }
    if (!playback::set_sample_volume(volume)) return playback::last_error();
    s.on = true;
    return {};
}

void effects_new_frame() { effects().gate.new_frame(); }

void effects_after_update(std::int64_t update) {
    const unsigned cues = take_effect_cues();
    effects_state& s = effects();
    if (!s.on || cues == 0) return;
    const unsigned play = s.gate.pass(cues, update);
    for (int k = 0; k < effect_count; ++k) {
        if (play & (1u << k)) playback::sample_play(s.sounds[k], k);
    }
}

void stop_effects() {
    effects_state& s = effects();
    if (s.on) playback::samples_stop();
    s.on = false;
    take_effect_cues();
}
