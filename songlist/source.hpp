#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace songlist {

using song_id = std::int64_t;

// The orders the list can be shown in, as the song library sorts them; Tab
// steps through them in this order.
enum class sort_order { title, artist, album, added, played, best };
constexpr int sort_order_count = 6;
const char* sort_name(sort_order order);
sort_order next_sort(sort_order order);

struct best_run {
    float ratio;  // as the result screen shows it
    std::uint32_t hits;
};

// One song as a row of the list.
struct song_row {
    song_id id = 0;
    std::string title;   // UTF-8, any script
    std::string artist;
    double seconds = 0;  // length; 0 when not known
    std::optional<best_run> best;  // in the edition the list is shown for
    bool played = false;           // ever, in any edition
    std::string path;              // the song's file, for the preview
};

// Where the list's rows come from; the song library's search plugs in here.
// The list calls it from a worker thread of its own, one call at a time and
// never from a frame, so a call may take as long as a database query does.
class song_source {
public:
    virtual ~song_source() = default;
    // Songs in all, whatever is typed.
    virtual std::size_t count() = 0;
    // The row of a song; false when there is no such song (any more).
    virtual bool row(song_id id, song_row& out) = 0;
    // The songs matching what was typed (everything for ""), in that order.
    virtual std::vector<song_id> search(const std::string& typed, sort_order order) = 0;
};

}  // namespace songlist
