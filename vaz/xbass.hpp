#pragma once
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "audiolayer/audiolayer.hpp"

namespace vaz {

template <class T>
class xbass;

// Initialises the audio library on the default device at 44100 Hz for the
// object's lifetime.
template <>
class xbass<void> {
public:
    enum class on_failure { raise, exit_with_message };

    explicit xbass(on_failure policy = on_failure::raise) {
        if (audiolayer::init(-1, 44100)) return;
        std::string why = std::string("cannot open the default audio output device at 44100 Hz: ") +
                          audiolayer::last_error();
        if (policy == on_failure::raise) throw std::runtime_error(why);
        std::fprintf(stderr, "velmora: %s\n", why.c_str());
        std::exit(1);
    }
    virtual ~xbass() { audiolayer::release(); }

    xbass(const xbass&) = delete;
    xbass& operator=(const xbass&) = delete;
};

}  // namespace vaz
