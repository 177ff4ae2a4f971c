#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "audiolayer/playback.hpp"

namespace preview {

struct timing {
    std::uint32_t wait_ms = 500;      // resting on a row before its song sounds
    std::uint32_t settle_ms = 150;    // resting on a row before its file is opened: rows scrolled past cost nothing
    double start = 0.4;               // of the song's length, where it starts
    std::uint32_t fade_in_ms = 800;
};

// Plays the song of the row the player rests on, through the playback layer
// (so it sounds as the game's music does). Opening the file and moving into
// it happen on a worker thread; the calls below only hand over a request or
// take a finished stream, so they never hold up a frame. A song whose row
// was left before it could sound is dropped unheard. Main thread only; the
// audio output must stay open while the player lives.
class player {
public:
    explicit player(timing t = {});
    ~player();
    player(const player&) = delete;
    player& operator=(const player&) = delete;

    // The row now chosen, by its song's file ("" for none), at now_ms on any
    // millisecond clock. A preview of another row stops at once.
    void select(const std::string& path, std::uint32_t now_ms);
    // Once a frame: asks for the file when the row has settled, starts the
    // song when it is due and opened.
    void update(std::uint32_t now_ms);
    // Silence at once, until the next select of another row.
    void stop();
    // The saved music volume in percent, set on the layer when a song starts.
    void set_volume(int percent) { volume_ = percent; }

    bool playing() const { return stream_ != 0; }
    const std::string& playing_path() const { return playing_path_; }
    audiolayer::playback::handle stream() const { return stream_; }
    // The chosen song is opened and waits for its time.
    bool ready() const { return static_cast<bool>(opened_.stream); }
    // Why the chosen song cannot sound, "" when it can or is not tried yet.
    const std::string& error() const { return error_; }

private:
    void work();
    void take_finished();
    void drop_sounding();

    timing timing_;
    int volume_ = 100;
    // Main thread.
    std::string selected_;
    std::uint32_t selected_at_ = 0;
    std::uint64_t generation_ = 0;  // one per select: tells a stale open from the wanted one
    bool requested_ = false;
    bool tried_ = false;  // started or failed: nothing more for this row
    audiolayer::playback::detached_open opened_;
    std::string opened_path_;
    audiolayer::playback::handle stream_ = 0;
    std::string playing_path_;
    std::string error_;

    // Shared with the worker, under mutex_.
    std::mutex mutex_;
    std::condition_variable wake_;
    bool quit_ = false;
    bool has_request_ = false;
    std::string request_path_;
    std::uint64_t request_generation_ = 0;
    std::uint64_t wanted_generation_ = 0;  // the worker drops what is older
    bool has_result_ = false;
    std::uint64_t result_generation_ = 0;
    audiolayer::playback::detached_open result_;
    std::string result_path_;
    std::thread worker_;
};

}  // namespace preview
