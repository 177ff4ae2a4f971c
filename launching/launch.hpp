#pragma once
#include <string>
#include <vector>

namespace launching {

// The game program: `velmora` beside this program's own executable (a build
// folder or an installed bin folder), else the name alone for a PATH search.
std::string game_program();

// The game's command line for a prepared stage.
std::vector<std::string> game_arguments(const std::string& program, const std::string& song,
                                        const std::string& stage, bool fullscreen);

// The saved (or, for one run, given) offset and volume as the game's options
// after the two file names; each only when it is not the game's default.
// align_ms: a board's stage played on the player's own file, how much later
// the music comes in it (the game's -align=, never recorded).
void add_setting_arguments(std::vector<std::string>& arguments, int offset_ms, int volume, int align_ms = 0);

// The calibration program: beside this program (a build folder), in the
// private program folder of the install layouts relative to it, else where
// this build installs it.
std::string calibration_program();
// The library screen's program, found the same way.
std::string library_program();
// A program of ours that is not on the PATH, by name, found as above.
std::string private_program(const char* name);

// Why no game window can open here, or empty: with neither an X nor a
// Wayland display, and no SDL video driver chosen, SDL has nowhere to draw.
std::string display_problem();

// The game refuses to start without a sound device. Unless the user chose an
// SDL audio driver, a child process opens the default output device as the
// game would, while this one hashes the song and checks the cache (opening a
// device can take a good part of a cached start).
// Waits at most limit_ms for the child process pid to end and gives its exit
// status; kills it when the time is up (child_killed), or child_failed when
// it died by a signal or cannot be waited for.
constexpr int child_killed = -2;
constexpr int child_failed = -1;
int wait_or_kill(int pid, int limit_ms);

class audio_probe {
public:
    audio_probe();   // starts the child, when there is something to find out
    ~audio_probe();  // waits for a child not asked
    audio_probe(const audio_probe&) = delete;
    audio_probe& operator=(const audio_probe&) = delete;

    // Waits for the answer; when the device would not open, picks SDL's
    // silent driver for the game and says true.
    bool choose_silent_audio_when_no_device();
    // The device did not answer in time (a sound server that hangs): the
    // game would hang on it too, so it plays silently.
    bool timed_out() const { return timed_out_; }

    // Opening a working device takes well under a second.
    static constexpr int probe_limit_ms = 5000;

private:
    int pid_ = -1;
    bool timed_out_ = false;
    bool known_missing_ = false;  // nothing that could play sound is there at all
};

// How a game run as a child ended.
struct game_end {
    bool started = false;
    std::string why_not;  // the system's reason when it could not be started
    bool signaled = false;
    int status = 0;  // its exit status, or the signal that ended it
};

// Runs the game as a child and waits for it. SIGINT, SIGTERM and SIGHUP sent
// to this process while it waits go on to the game, which quits the way it
// does on its own, so that what it has recorded is complete.
game_end run_game(const std::vector<std::string>& arguments);

// Why a child did not end on its own, as a message line naming it as `what`
// ("game", "calibration") and its program: it could not start, or a signal
// ended it. "" when it exited, whatever its status.
std::string end_problem(const game_end& end, const std::string& program, const std::string& what);

}  // namespace launching
