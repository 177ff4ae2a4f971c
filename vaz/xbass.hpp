#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace vaz {

// Holds one half of the audio layer open on the default device at 44100 Hz
// for the object's lifetime. Layer names the half: a type with static
// init(device, freq), release() and last_error(), such as
// audiolayer::playback::layer or audiolayer::decode::layer. The layer comes in
// as a parameter so this bottom library includes nothing above it.
template <class Layer>
class xbass {
public:
    enum class on_failure { raise, exit_with_message };

    explicit xbass(on_failure policy = on_failure::raise) {
        if (Layer::init(-1, 44100)) return;
        std::string why = std::string("cannot open the default audio output device at 44100 Hz: ") +
                          Layer::last_error();
        if (policy == on_failure::raise) throw std::runtime_error(why);
        std::fprintf(stderr, "velmora: %s\n", why.c_str());
        std::exit(1);
    }
    virtual ~xbass() { Layer::release(); }

    xbass(const xbass&) = delete;
    xbass& operator=(const xbass&) = delete;
};

}  // namespace vaz
