#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "library/stage_choice.hpp"
#include "musicfiles/scan.hpp"
#include "userfiles/settings.hpp"

struct sqlite3;
namespace library {
class song_library;
}

// Everything the library screen asks of the song library, the stage cache,
// the settings file and the music index, in one place: the screen itself
// sees none of their types but the edition and difficulty it chose.
namespace libraryscreen {

// A song's stage, found in the cache or made.
struct prepared_stage {
    bool ok = false;
    std::string error;       // why not, naming the file
    std::string notes;       // what the player should know although it worked
    std::string stage_path;
    std::string song_hash;
};

// One session of a song: the song, its edition and difficulty, and the
// stage the game plays (the song's own or another version's, downloaded),
// which a session for the scoreboard server is sent with.
struct session_request {
    std::string song_hash;
    ::library::stage_choice stage;
    std::string stage_path;
};

// A run as the result screen counted it.
struct run_figures {
    std::int64_t hits = 0, score = 0;
    double ratio = 0;  // as the result screen shows it
};

// The runs a session kept.
struct kept_session {
    std::size_t runs = 0;
    bool lost = false;  // runs finished that the song library could not store
    bool new_best = false;
    std::optional<run_figures> best;  // the song's best in the session's edition and difficulty, after it
    std::vector<std::string> problems;
};

// What the song panel shows of a song.
struct song_facts {
    bool found = false;  // the music tables hold the file
    std::string title, artist, album;
    int year = 0;           // 0 when not known
    double seconds = 0;     // 0 when not known
    bool tagged_cover = false;  // its tags hold a picture
    struct best {
        std::string edition, difficulty;
        run_figures run;
        bool own_stage = true;  // of the song's own stage, not a board's of another file
    };
    std::vector<best> bests;  // every edition and difficulty played, by edition, then difficulty
};

class library_calls {
public:
    // Opens the song library and the music index in the user's data folder.
    // When either cannot be opened, problem says why: songs still play, but
    // nothing is listed or kept that needed it.
    explicit library_calls(std::string& problem);
    ~library_calls();
    library_calls(const library_calls&) = delete;
    library_calls& operator=(const library_calls&) = delete;

    // A connection of its own to the song library, whose music tables the
    // list's source reads on its worker thread. Null when it could not open.
    sqlite3* index() const { return index_; }

    // May take seconds (a conversion); progress gets the share done from
    // any thread.
    prepared_stage prepare(const std::string& song, ::library::stage_choice stage,
                           const std::function<void(double)>& progress);
    // The recording file to give the game for a session of the song, or ""
    // (with why) when results cannot be kept.
    std::string begin_session(const session_request& session, std::string& why);
    // After the stage: stores the session's finished runs, keeps the best's
    // replay, and queues it with the request's stage when a server is set.
    kept_session end_session(const session_request& session);
    // Sessions ended from now on are queued for this scoreboard server too
    // (none when empty).
    void submit_to(const std::string& server);
    // The song library itself, for the scoreboard's calls (online_calls); null when not open.
    ::library::song_library* songs() const;
    // Keeps the sessions of a screen or a velmora_play that was killed, so
    // their finished runs show; how many runs were stored, each problem a line.
    std::size_t recover_sessions(std::vector<std::string>& problems);
    // The song's best run's replay file, "" when there is none or the library
    // names one outside the replays folder (why says so). `run`, when given,
    // is set to the best run's number in that replay's session.
    std::string best_replay(const std::string& song, ::library::stage_choice stage, std::string& why,
                            int* run = nullptr, std::string* session = nullptr);
    // The id `server` gave the play session `session` once it verified it;
    // 0 when it did not (not sent, pending, refused, another server).
    std::int64_t verified_on(const std::string& session, const std::string& server);

    // The song's best run in an edition and difficulty on the stage named
    // `stage_hash`, before a session.
    std::optional<run_figures> best_run(const std::string& song_hash, ::library::stage_choice stage,
                                        const std::string& stage_hash);
    // A song's tags and bests, through a connection of its own: for the
    // song panel's thread, one call at a time.
    song_facts facts(const std::string& song);
    // The bundled song (beside the program in a build folder, or where it is
    // installed), scanned into the music tables so the list always holds it:
    // its path, or "" when there is none or it cannot be listed.
    std::string list_bundled_song();
    // Any music file scanned into the music tables the same way (a song the
    // screen is started on): its path as the list names it, or "".
    std::string list_song(const std::string& path);

    // Remembered folders, sorted.
    std::vector<std::string> folders();
    bool add_folder(const std::string& path, std::string& why);
    // Scans folders (every remembered one when empty) through a connection
    // of its own: for a background thread, while the list reads.
    musicfiles::scan_report scan(const std::vector<std::string>& folders, const musicfiles::scan_options& options,
                                 std::string& why);

private:
    struct parts;
    std::unique_ptr<parts> parts_;
    sqlite3* index_ = nullptr;
    sqlite3* facts_ = nullptr;  // the song panel's connection
};

// The saved settings, each problem with the file in warnings.
userfiles::settings load_settings(std::vector<std::string>& warnings);
// One value into the settings file, at once and whole; "" or why it was not saved.
std::string save_setting(const std::string& key, const std::string& value);
std::string save_setting(const std::string& key, int value);
// The player's music folder: the first of $XDG_MUSIC_DIR, the one the
// user's folders file names and ~/Music that is a folder; else the first
// of them named (exists false), or "" when none is.
struct music_place {
    std::string path;
    bool exists = false;
};
music_place player_music_folder();
// Where the folder browser starts: the music folder, else home.
std::string music_folder();
// The calibration program, run as a child; its exit status, or -1 (why says so).
int run_calibration(std::string& why);

}  // namespace libraryscreen
