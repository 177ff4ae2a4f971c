#pragma once
#include <cstdint>

namespace vaz {

template <class T>
class xbasic_bitarray;

// An abstract bit array.
template <>
class xbasic_bitarray<void> {
public:
    virtual bool get(int index) const = 0;
    virtual void set(int index, bool value) = 0;
    virtual void clear() = 0;
    virtual ~xbasic_bitarray() = default;
};

template <class Word>
class xbitarray;

// Bits in 32-bit words: bit i is bit i % 32 (from the least significant) of
// word i / 32. No bounds check; callers pass 0..bit_count-1.
template <>
class xbitarray<unsigned int> : public xbasic_bitarray<void> {
public:
    explicit xbitarray(int bits)
        : bit_count(bits), word_count((bits + 31) / 32), words(new std::uint32_t[word_count]()) {}
    ~xbitarray() override { delete[] words; }

    xbitarray(const xbitarray&) = delete;
    xbitarray& operator=(const xbitarray&) = delete;

    bool get(int i) const override { return (words[i / 32] >> (i % 32)) & 1u; }
    void set(int i, bool v) override {
        const std::uint32_t mask = std::uint32_t{1} << (i % 32);
        if (v) {
            words[i / 32] |= mask;
        } else {
            words[i / 32] &= ~mask;
        }
    }
    void clear() override {
        for (int w = 0; w < word_count; ++w) words[w] = 0;
    }

    int bit_count;
    int word_count;
    std::uint32_t* words;
};

}  // namespace vaz
