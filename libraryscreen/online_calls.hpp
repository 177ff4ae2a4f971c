#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "libraryscreen/library_calls.hpp"

// Everything the library screen asks of the scoreboard server, in one
// place beside library_calls: the account, the boards, the runs to watch
// and the background sending of the queued sessions. The calls that go to
// the network block, for the screen's worker threads only.
namespace libraryscreen {

struct board_row {
    int rank = 0;
    std::string player;
    std::int64_t hits = 0, score = 0;
    double ratio = 0;
    std::int64_t session = 0;
    bool rank_estimate = false;  // the server only estimated rank
    int run = 1;                 // which finished run of its session's replay it is, from 1
};

// Another stage of the same recording with a board of its own.
struct version_row {
    std::string stage, edition, difficulty, title;
    std::int64_t players = 0;
};

// The highlighted song's world board as the screen shows it.
struct song_board {
    bool ok = false;
    std::string why;    // when not ok
    std::string stage;  // the hash of the song's stage: the board's name
    std::vector<board_row> rows;
    std::optional<board_row> you;
    std::int64_t players = 0;
    std::vector<version_row> versions;  // other stages of this recording
    std::string state;  // the latest session's online state: queued, pending, verified, rejected: REASON
};

class online_calls {
public:
    // Reads the account; when there is one, sessions are queued for its
    // server and sent on a thread of its own from now on.
    explicit online_calls(library_calls& calls);
    ~online_calls();
    online_calls(const online_calls&) = delete;
    online_calls& operator=(const online_calls&) = delete;

    // Read by the screen's threads while the settings may change them.
    bool online() const;
    std::string server() const;
    std::string player() const;
    // Bumped when a sent session changed state, so boards are read again.
    std::uint64_t changes() const;
    void session_ended();

    // Blocking calls (a worker thread).
    song_board board(const std::string& song, ::library::stage_choice stage);
    // A run of the board downloaded for watching: its replay and stage as files.
    std::string fetch_run(std::int64_t session, const std::string& stage, std::string& replay_file,
                          std::string& stage_file);
    std::string fetch_stage(const std::string& stage, std::string& stage_file);
    // With a server: the recording's board's stage for a song about to be
    // played, downloaded and aligned once (online/board_stage.hpp); offline
    // or out of reach nothing changes.
    void refresh_board_stage(const std::string& song_hash, const std::string& song_path,
                             const std::string& own_stage_file, ::library::stage_choice stage);
    // Registers and keeps the account; "" or why not.
    std::string go_online(const std::string& server, const std::string& player);
    std::string go_offline();
    // The best runs kept before a server was set, queued once each and sent
    // in the background; what was done, as a sentence.
    std::string send_kept_bests();

private:
    void start_sending();
    struct who {
        std::string server, player, token;
    };
    who account() const;

    library_calls& calls_;
    mutable std::mutex lock_;
    std::string server_, player_, token_;
    struct sender;
    std::unique_ptr<sender> sender_;
};

}  // namespace libraryscreen
