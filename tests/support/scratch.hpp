#pragma once
// A fresh folder per test, removed with everything in it afterwards, and
// small helpers to put files into it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "support/scratch_dir.hpp"

namespace shell_test {

using test_support::scratch_dir;

inline void write_bytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void put_u16(std::vector<std::uint8_t>& b, std::uint32_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}

inline void put_u32(std::vector<std::uint8_t>& b, std::uint32_t v) {
    put_u16(b, v & 0xffff);
    put_u16(b, v >> 16);
}

// A 16-bit stereo 44100 Hz WAV file; frame k holds sample(k) in both channels.
template <class Sample>
void write_wav(const std::string& path, std::uint32_t frames, Sample sample) {
    std::vector<std::uint8_t> b;
    const std::uint32_t data_bytes = frames * 4;
    for (char c : std::string("RIFF")) b.push_back(static_cast<std::uint8_t>(c));
    put_u32(b, 36 + data_bytes);
    for (char c : std::string("WAVEfmt ")) b.push_back(static_cast<std::uint8_t>(c));
    put_u32(b, 16);
    put_u16(b, 1);           // PCM
    put_u16(b, 2);           // channels
    put_u32(b, 44100);       // frames per second
    put_u32(b, 44100 * 4);   // bytes per second
    put_u16(b, 4);           // bytes per frame
    put_u16(b, 16);          // bits per sample
    for (char c : std::string("data")) b.push_back(static_cast<std::uint8_t>(c));
    put_u32(b, data_bytes);
    for (std::uint32_t k = 0; k < frames; ++k) {
        const auto v = static_cast<std::uint16_t>(static_cast<std::int16_t>(sample(k)));
        put_u16(b, v);
        put_u16(b, v);
    }
    write_bytes(path, b);
}

}  // namespace shell_test
