#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The scoreboard server's API from the game's side, over the same HTTP
// library as the server. Every call is bounded: a time to connect, a time
// for the whole answer, and a size past which the answer is dropped, so a
// server that answers garbage, too much or nothing costs a caller at most
// its deadline and never its memory. Calls block; callers run them off the
// frame (a worker thread, or a command that asked for the network).
namespace online {

struct limits {
    int connect_ms = 3000;
    int answer_ms = 10000;                  // the whole call, connection to last byte
    std::size_t json_bytes = 1u << 20;      // players, sessions, boards, recordings
    std::size_t file_bytes = 64u << 20;     // a stage or a replay downloaded
};

// How a call ended.
struct outcome {
    bool ok = false;
    bool retry = false;   // not the request's fault: no answer, a 5xx, 429; try again later
    int status = 0;       // HTTP status; 0 without an answer
    int retry_after = 0;  // seconds, from Retry-After
    std::string message;  // why not ok, as a sentence without the program name
};

struct registered {
    outcome how;
    std::string token;
};

struct sent_session {
    outcome how;
    std::int64_t session = 0;
    std::string status;  // "pending", "verified", "rejected" or "unverified" (the server could not re-play it; send it again)
    std::string reason;
    std::string player, stage, edition, difficulty;  // as GET /v1/sessions/ID answers them
};

struct session_upload {
    std::string stage, replay;  // the files' bytes
    std::string edition, difficulty, title, artist, album, fingerprint;
    std::int64_t length_ms = 0;  // 0: not sent
    std::string envelope;        // the song's loudness envelope as the alignment encodes it; sent when not empty
};

struct board_entry {
    int rank = 0;
    std::string player;
    std::int64_t hits = 0, score = 0;
    double ratio = 0;
    std::int64_t session = 0;
    int run = 0;
    bool rank_estimate = false;  // rank is an estimate: the place is far down a big board
};

struct board {
    outcome how;
    std::vector<board_entry> entries;
    std::optional<board_entry> you;
    std::int64_t players = 0;
};

// Another stage of the same recording, as the server answers for a fingerprint.
struct version {
    std::string stage;  // hash
    std::string edition, difficulty, title, artist;
    std::int64_t length_ms = 0;
    std::int64_t players = 0;
    bool envelope = false;  // the server keeps the envelope of the file the stage was made from
};

struct versions {
    outcome how;
    std::vector<version> list;    // every board of a stage of the recording, most players first
    std::vector<version> boards;  // per edition and difficulty, the recording's one board
};

struct download {
    outcome how;
    std::string bytes;
};

class client {
public:
    // `server` is http://HOST[:PORT] or https://HOST[:PORT], optionally with a
    // path the API sits under.
    explicit client(std::string server, std::string token = {}, limits l = {});

    // Whether `server` is an address this client can talk to; the reason when not.
    static std::string check_address(const std::string& server);

    registered register_player(const std::string& name) const;
    sent_session submit(const session_upload& s) const;
    sent_session session(std::int64_t id) const;
    board get_board(const std::string& stage, const std::string& edition, const std::string& difficulty,
                    int limit) const;
    versions recordings(const std::string& fingerprint, std::int64_t length_ms) const;
    download replay(std::int64_t session) const;
    download stage(const std::string& hash) const;
    // The envelope kept with a stage; a 404 when the stage or its envelope is unknown.
    download envelope(const std::string& stage_hash) const;

private:
    struct answer;
    answer call(const std::string& method, const std::string& path, const std::string& body,
                const std::string& content_type, std::size_t most) const;

    std::string server_;
    std::string token_;
    limits limits_;
};

// A place on a board as the game shows it: "1234", or "~12,345" when the
// server only estimated it.
std::string place_text(std::int64_t rank, bool estimate);

}  // namespace online
