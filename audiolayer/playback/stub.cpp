#include "audiolayer/audiolayer.hpp"
// Placeholder until the playback layer lands.
namespace audiolayer {
bool init(int, std::uint32_t) { return true; }
bool release() { return true; }
const char* last_error() { return ""; }
handle stream_create_file(const char*) { return 0; }
bool stream_free(handle) { return true; }
bool channel_set_position(handle, std::uint64_t) { return true; }
bool channel_play(handle, bool) { return true; }
bool channel_stop(handle) { return true; }
}  // namespace audiolayer
