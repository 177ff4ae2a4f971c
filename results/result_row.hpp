#pragma once
#include <cstdint>
#include <string>

namespace results {

// One finished run of a song as the song library keeps it: the result
// screen was reached.
struct result_row {
    std::string song_hash;           // vaz::hash_128::hex() of the song file
    std::string edition;             // a name of converter/editions.def
    std::string difficulty = "hard";  // easy, normal or hard
    std::string session;             // names the session's recording; with run, the row's key
    std::int64_t run = 0;            // the session's finished runs counted from 1
    std::int64_t played_at = 0;      // seconds since 1970
    std::int32_t hits = 0;
    std::int32_t score = 0;
    double ratio = 0;            // as the result screen shows it (a float32)
    std::int64_t frames = 0;     // updates played, from the start key to the result screen
    std::int32_t offset_ms = 0;  // the latency offset it was played with
    std::string replay;          // file name of its kept replay in the replays folder; empty when none
    // XXH3-128 of the stage played on, as its replay and the scoreboard server
    // name it; empty only for a run from an older library whose stage could
    // not be told (it counts as the song's own stage until that is known).
    std::string stage;
};

// Which of two results is better: the higher ratio, then fewer hits; the
// earlier of equals stays ahead.
inline bool better_result(const result_row& a, const result_row& b) {
    if (a.ratio != b.ratio) return a.ratio > b.ratio;
    if (a.hits != b.hits) return a.hits < b.hits;
    return a.played_at < b.played_at;
}

// better_result's order as SQL ORDER BY terms over columns named ratio, hits
// and played_at, for every store that ranks runs (the song library, the
// music index's best column, the scoreboard server); a query appends its own
// last tie-breaker (a row id) after these.
inline constexpr const char* best_order_sql = "ratio DESC, hits ASC, played_at ASC";

// The stage a song plays in an edition and difficulty, as an SQL expression
// over the song library's tables board_stages and stages, for the song
// library and the music index's best column alike: the board's stage once
// that row is clear, else the song's own stage, NULL while neither is
// known (which then matches the runs kept without a stage). Each argument
// is an SQL term: a column, a parameter or a quoted value.
inline std::string playing_stage_sql(const std::string& song, const std::string& edition,
                                     const std::string& difficulty) {
    const auto key = [&](const std::string& t) {
        return t + ".song_hash = " + song + " AND " + t + ".edition = " + edition + " AND " + t +
               ".difficulty = " + difficulty;
    };
    return "COALESCE((SELECT bs.stage_hash FROM board_stages bs WHERE " + key("bs") +
           " AND bs.clear = 1), (SELECT st.stage_hash FROM stages st WHERE " + key("st") + "))";
}

}  // namespace results
