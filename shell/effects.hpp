#pragma once
#include <cstdint>
#include <string>

// Sound effects over the music: a graze tick, a hit, a bomb and a chain
// burst. The game logic tells each one where it happens (cue_effect), and
// nothing in the logic ever reads that back; the frame loop plays what an
// update told once the update has run, so a replay sounds as its run did.
enum class effect : unsigned { graze, hit, bomb, chain_burst };
constexpr int effect_count = 4;

// Notes that the effect happened in the update running now.
void cue_effect(effect e);

// The effects cued since the last call, one bit per effect (1u << e); forgets them.
unsigned take_effect_cues();

// Which cues of an update sound. At most one of a kind per frame, since a
// frame that catches up runs many updates at once; and each kind waits a
// few updates after its last sound, so a long graze is a train of ticks,
// not a buzz.
class effect_gate {
public:
    // Updates from one sound of a kind to the next, by effect.
    static constexpr std::int64_t spacing[effect_count] = {4, 6, 0, 6};

    void new_frame() { played_in_frame_ = 0; }
    // The cues to play of those an update told; update counts up by one per update.
    unsigned pass(unsigned cues, std::int64_t update);

private:
    unsigned played_in_frame_ = 0;
    std::int64_t last_[effect_count] = {never, never, never, never};
    static constexpr std::int64_t never = INT64_MIN / 2;
};

// Where each effect's sound is looked for, as the sprite sheet is.
const char* effect_file(effect e);

// For one stage: volume 0 plays nothing; otherwise the sounds are loaded
// (once in the process) and play at volume percent of their level. Returns
// why they cannot be played, or an empty string; the game then goes on
// without them.
std::string start_effects(int volume);
// At the start of each frame, and after each update with its number.
void effects_new_frame();
void effects_after_update(std::int64_t update);
// At the end of a stage: silences the effects and forgets any cue.
void stop_effects();
