// The converter's loading path (the decoding layer and the sample record) on
// arbitrary file bytes, read through a path as the converter reads them. The
// file lives in memory, so no disk is touched.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "audiolayer/decode.hpp"
#include "converter/wave_sample.hpp"

namespace {

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "decode: %s\n", what);
        std::abort();
    }
}

bool write_all(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int fd = ::memfd_create("decode-fuzz", 0);
    require(fd >= 0, "no memory file");
    require(write_all(fd, data, size), "cannot fill the memory file");
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    require(audiolayer::decode::init(-1, 44100), "the decoder does not start");
    {
        converter::wave_sample source(path.c_str());
        if (!source.failed) {
            require(source.info.chans > 0 && source.info.freq > 0, "a loaded sample without channels or rate");
            require(source.info.length % (2 * source.info.chans) == 0, "a length of partial frames");
            require(source.data != nullptr, "a loaded sample without data");
            // Touch every value, so a short delivery shows as a read of
            // uninitialised or missing memory.
            volatile long long sum = 0;
            for (std::size_t i = 0; i < source.value_count(); ++i) sum = sum + source.data[i];
        } else {
            require(audiolayer::decode::last_error()[0] != '\0' || source.handle != 0,
                    "a failed load without a reason");
        }
    }
    // Releasing the layer closes every decoder the load opened.
    require(audiolayer::decode::release(), "the decoder does not stop");
    ::close(fd);
    return 0;
}
