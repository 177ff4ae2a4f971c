#include "playback_calls.hpp"

#include <cstdint>

namespace logic_test {
std::vector<std::string>& playback_calls() {
    static std::vector<std::string> calls;
    return calls;
}
}  // namespace logic_test

using logic_test::playback_calls;

// audiolayer::playback::channel_set_position, channel_play and channel_stop.
extern "C" bool __wrap__ZN10audiolayer8playback20channel_set_positionEjm(std::uint32_t stream,
                                                                         std::uint64_t byte) {
    playback_calls().push_back("set_position " + std::to_string(stream) + " " + std::to_string(byte));
    return true;
}
extern "C" bool __wrap__ZN10audiolayer8playback12channel_playEjb(std::uint32_t stream, bool restart) {
    playback_calls().push_back("play " + std::to_string(stream) + " " + std::to_string(restart));
    return true;
}
extern "C" bool __wrap__ZN10audiolayer8playback12channel_stopEj(std::uint32_t stream) {
    playback_calls().push_back("stop " + std::to_string(stream));
    return true;
}
