#pragma once
#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

namespace stagecache {

// One finished run of a song: the result screen was reached.
struct result_row {
    std::string song_hash;       // song_hash::hex()
    std::string edition;         // "standard" or "zetaflux"
    std::string session;         // names the session's recording; with run, the row's key
    std::int64_t run = 0;        // the session's finished runs counted from 1
    std::int64_t played_at = 0;  // seconds since 1970
    std::int32_t hits = 0;
    std::int32_t score = 0;
    double ratio = 0;            // as the result screen shows it (a float32)
    std::int64_t frames = 0;     // updates played, from the start key to the result screen
    std::int32_t offset_ms = 0;  // the latency offset it was played with
    std::string replay;          // file name of its kept replay in the replays folder; empty when none
};

// Which of two results is better: the higher ratio, then fewer hits; the
// earlier of equals stays ahead.
bool better_result(const result_row& a, const result_row& b);

// What the library knows of one song, found by its hash.
struct song_row {
    std::string hash;              // song_hash::hex()
    std::string path;              // where it was last prepared or played from
    double duration = 0;           // seconds of sound
    std::uint32_t rate = 0;        // Hz, of the file as it is
    std::uint32_t channels = 0;
    std::int64_t events_standard = -1;  // events in the stage; -1 when never prepared in that edition
    std::int64_t events_zetaflux = -1;
    std::int64_t prepared_at = 0;     // seconds since 1970; 0 when never
    std::int64_t last_played_at = 0;  // seconds since 1970; 0 when never
    std::optional<result_row> best_standard;  // its best finished run in each edition
    std::optional<result_row> best_zetaflux;
};

class library_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The song library: an SQLite database in WAL mode, so readers never wait
// for a writer, with a busy timeout so a second velmora_play waits for a
// lock instead of failing. Every write is one transaction. The schema's
// version is the database's user_version; opening brings an older database
// up to date step by step (later steps add results and replays) and refuses
// one made by a newer program. Schema 2 adds every finished run's result.
// Safe to share between threads of one process.
// Every failure throws library_error naming the database.
class song_library {
public:
    static constexpr int schema_version = 2;

    // create = false opens only an existing database (listing must not leave
    // an empty one behind); check exists() first.
    explicit song_library(const std::string& path, bool create = true);
    ~song_library();
    song_library(const song_library&) = delete;
    song_library& operator=(const song_library&) = delete;

    static bool exists(const std::string& path);

    // A stage of `edition` ("standard" or "zetaflux") was prepared: records
    // the song's facts, its event count in that edition and the time.
    void record_prepared(const song_row& facts, std::string_view edition, std::int64_t events, std::int64_t when);
    // The song is about to be played from `path`.
    void record_played(const std::string& hash, const std::string& path, std::int64_t when);

    // A session's finished runs of one song and edition, in one transaction.
    // A row already there (same session and run) takes the new figures, so
    // recording a session again is harmless. When keep_replay names a file,
    // the run at index replay_run of `runs` holds that replay and every
    // other result of the song and edition gives its replay up. Returns the
    // replay files no result names any more, for the caller to delete once
    // this has committed.
    std::vector<std::string> record_session(const std::vector<result_row>& runs, const std::string& keep_replay = {},
                                            std::size_t replay_run = 0);
    // The best result of a song in an edition (see better_result).
    std::optional<result_row> best_result(const std::string& hash, std::string_view edition);
    // Every replay file a result names.
    std::vector<std::string> replay_files();

    std::optional<song_row> find(const std::string& hash);
    // Most recently played first, then by path.
    std::vector<song_row> songs();

    const std::string& path() const { return path_; }
    // For the music tables kept beside the songs (musicindex/), used from
    // one thread while nothing else uses this library.
    sqlite3* database() { return db_; }

private:
    void exec(const char* sql);
    [[noreturn]] void fail(const std::string& what);
    void migrate();
    std::optional<result_row> best_unlocked(const std::string& hash, std::string_view edition);
    void add_bests(song_row& r);

    std::string path_;
    sqlite3* db_ = nullptr;
    std::mutex lock_;
};

}  // namespace stagecache
