// Typed search text on arbitrary bytes, over a small song library. Besides
// the sanitizers, it checks the promises: no text makes the query fail, the
// cleaned text is valid UTF-8, and nothing typed finds a missing song.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "musicfiles/text.hpp"
#include "musicindex/library_db.hpp"
#include "musicindex/songs.hpp"

namespace {

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "search: %s\n", what);
        std::abort();
    }
}

musicindex_test::library_db& library() {
    static musicindex_test::library_db db;
    static bool filled = false;
    if (filled) return db;
    filled = true;
    const char* const titles[] = {"Café del Mar", "東京タワーの夜", "Rock'n'Roll \"Train\"", "NEAR OR NOT", "★ *"};
    std::int64_t k = 0;
    for (const char* t : titles) {
        musicfiles::file_update u;
        u.path = "/m/" + std::to_string(k++) + ".flac";
        u.tags.title = t;
        u.tags.artist = "AC/DC title: x";
        musicindex::write_updates(db, {u}, k);
    }
    musicfiles::file_update gone;
    gone.path = "/m/gone.flac";
    gone.tags.title = "Gone";
    musicindex::write_updates(db, {gone}, 9);
    gone.change = musicfiles::file_change::gone;
    musicindex::write_updates(db, {gone}, 9);
    return db;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string typed(reinterpret_cast<const char*>(data), size);
    require(musicfiles::is_valid_utf8(musicfiles::clean_text(typed)), "cleaned text that is not UTF-8");
    try {
        for (const musicindex::song_entry& e : musicindex::search_songs(library(), typed, {}))
            require(e.path != "/m/gone.flac", "a missing song found");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "search: \"%s\" failed: %s\n", typed.c_str(), e.what());
        std::abort();
    }
    return 0;
}
