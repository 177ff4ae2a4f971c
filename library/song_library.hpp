#pragma once
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "library/stage_choice.hpp"
#include "results/result_row.hpp"
#include "sqlite/sql.hpp"

struct sqlite3;

namespace library {

using results::result_row;
using library_error = sql::error;

// A prepared stage as the library knows it: one per song, edition and
// difficulty.
struct stage_row {
    std::string song_hash;
    std::string edition;
    std::string difficulty = "hard";
    int format_version = 0;       // the edition's stage format version it was prepared with
    std::int64_t events = 0;      // records in all groups
    std::int64_t prepared_at = 0;  // seconds since 1970
    std::string checksum;         // XXH3-64 of the whole file, 16 hex digits; empty when not known
    // XXH3-128 of the whole file, the name replays and the scoreboard server
    // give it; empty when not known (a stage prepared before it was kept).
    std::string stage_hash;
};

// What --list shows of one edition and difficulty of a song: its stage, when
// prepared, and its best run on the stage it plays now, when played there.
struct song_stage {
    std::string edition;
    std::string difficulty;
    std::int64_t events = -1;  // -1 when not prepared
    std::int64_t prepared_at = 0;
    std::optional<result_row> best;
    std::string playing;  // playing_stage's hash, which the best is of
};

// What the library knows of one song, found by its hash.
struct song_row {
    std::string hash;              // vaz::hash_128::hex()
    std::string path;              // where it was last prepared or played from
    double duration = 0;           // seconds of sound
    std::uint32_t rate = 0;        // Hz, of the file as it is
    std::uint32_t channels = 0;
    std::int64_t prepared_at = 0;     // seconds since 1970, the last stage of any edition; 0 when never
    std::int64_t last_played_at = 0;  // seconds since 1970; 0 when never
    std::vector<song_stage> stages;   // by edition (registry order), then difficulty
};

// What a run sent to a scoreboard carries of its song beside the stage, all
// optional for the server: the tags of the first file known to hold it, its
// length and its fingerprint.
struct upload_facts {
    std::int64_t length_ms = 0;  // 0 when not known
    std::string fingerprint;
    std::string title, artist, album;
};

// Which stage a song plays for a scoreboard: its recording's board may be on
// a stage made from another copy of the same recording (another encoding, a
// different lead-in). offset_ms is how much later the music comes in this
// file than in the board's; a row that is not clear keeps why, for the player,
// and the song plays its own stage.
struct board_stage_row {
    std::string stage_hash;  // the board's stage, as the server names it
    std::string stage_file;  // where the downloaded stage is kept
    double offset_ms = 0;
    bool clear = false;
    std::string why;
    std::int64_t measured_at = 0;  // seconds since 1970
};

// The song library: an SQLite database in WAL mode, so readers never wait
// for a writer, with a busy timeout so a second velmora_play waits for a
// lock instead of failing. Every write is one transaction. The schema's
// version is the database's user_version; opening brings an older database
// up to date step by step and refuses one made by a newer program. Schema 2
// adds every finished run's result; 3 the prepared stages (with their
// checksums) and the difficulty of results, with no column or check per
// edition; 4 the music folders, files and their full-text indexes; 5 the
// sessions for the scoreboard server (submissions.hpp) and songs' fingerprints;
// 6 each song's board stage and its measured alignment; 7 the stage each
// result was played on, and each stage's hash, so bests never mix runs of
// two stages.
// Safe to share between threads of one process.
// Every failure throws library_error naming the database.
class song_library {
public:
    static constexpr int schema_version = 7;

    // create = false opens only an existing database (listing must not leave
    // an empty one behind); check exists() first.
    explicit song_library(const std::string& path, bool create = true);
    ~song_library();
    song_library(const song_library&) = delete;
    song_library& operator=(const song_library&) = delete;

    static bool exists(const std::string& path);

    // A stage was prepared (or found whole and checksummed): records the
    // song's facts and the stage. The first hash learnt of a stage whose
    // bytes are those the library knew goes to the results kept without one.
    void record_prepared(const song_row& facts, const stage_row& stage);
    // The stage the library knows for a song, edition and difficulty.
    std::optional<stage_row> find_stage(const std::string& hash, std::string_view edition, std::string_view difficulty);
    // The song is about to be played from `path`.
    void record_played(const std::string& hash, const std::string& path, std::int64_t when);

    // A session's finished runs of one song, edition, difficulty and stage, in one
    // transaction. A row already there (same session and run) takes the new
    // figures, so recording a session again is harmless. keep_replay names
    // the replay file of the run at index replay_run of `runs`, which the
    // caller found better than the stored best; the best is decided again
    // inside the transaction, so of two sessions ending at once the better
    // run keeps its replay. Only when that run is the best now does it hold
    // the replay, and the song's other results on that stage give theirs up. Returns the
    // replay files no result names any more (keep_replay itself when its run
    // was not the best), for the caller to delete once this has committed.
    std::vector<std::string> record_session(const std::vector<result_row>& runs, const std::string& keep_replay = {},
                                            std::size_t replay_run = 0);
    // The best result of a song in an edition and difficulty on one stage,
    // named by its hash (see better_result); "" is the song's own stage of a
    // library that does not know its hash yet.
    std::optional<result_row> best_result(const std::string& hash, std::string_view edition,
                                          std::string_view difficulty, std::string_view stage);
    // The hash of the stage the song plays now in that edition and
    // difficulty: its board's stage once that row is clear, else its own
    // stage's; "" when the library does not know it yet.
    std::string playing_stage(const std::string& song_hash, stage_choice choice);
    // Every result that holds a kept replay: the best of its song, edition,
    // difficulty and stage, each once.
    std::vector<result_row> kept_bests();
    // Every replay file a result names.
    std::vector<std::string> replay_files();

    std::optional<song_row> find(const std::string& hash);
    // The song hash the music tables link to the file at `path` (as
    // musicfiles::normal_path gives it) while its size and modification time
    // are still those seen then; "" when not known or the file changed since.
    std::string hash_of_file(const std::string& path, std::int64_t size, std::int64_t mtime_ns);
    upload_facts facts_for_upload(const std::string& hash);
    // A song's audio fingerprint as prepared; "" when not known.
    void set_fingerprint(const std::string& hash, const std::string& fingerprint);
    std::string fingerprint(const std::string& hash);
    // The board stage found for a song, edition and difficulty, replacing the one before.
    void record_board_stage(const std::string& hash, stage_choice choice, const board_stage_row& row);
    std::optional<board_stage_row> board_stage(const std::string& hash, stage_choice choice);
    // Most recently played first, then by path.
    std::vector<song_row> songs();

    const std::string& path() const { return path_; }

    // The open database, for the music tables' functions (musicindex),
    // under the library's lock.
    template <typename F>
    auto with_database(F f) {
        std::lock_guard<std::mutex> g(lock_);
        return f(db_);
    }

private:
    void migrate();
    void check_key(std::string_view edition, std::string_view difficulty) const;
    std::optional<result_row> best_unlocked(const std::string& hash, std::string_view edition,
                                            std::string_view difficulty, std::string_view stage);
    std::string playing_unlocked(const std::string& hash, std::string_view edition, std::string_view difficulty);
    void add_stages(song_row& r);

    std::string path_;
    sqlite3* db_ = nullptr;
    std::mutex lock_;
};

}  // namespace library
