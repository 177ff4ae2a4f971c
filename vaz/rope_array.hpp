#pragma once
#include <cstdint>
#include <vector>

namespace vaz {

// A chunked array: appending never moves an element, and element i lives in
// chunk i / N at slot i % N. Only the last chunk can be partly filled.
template <class T, int N>
class rope_array {
    static_assert(N > 0, "chunks hold at least one element");

public:
    rope_array() = default;
    virtual ~rope_array() {
        for (T* chunk : chunks) delete[] chunk;
    }
    rope_array(const rope_array&) = delete;
    rope_array& operator=(const rope_array&) = delete;

    void push_back(const T& e) {
        const std::uint32_t r = count % N;
        if (r == 0) {
            T* chunk = new T[N];
            try {
                chunks.push_back(chunk);
            } catch (...) {
                delete[] chunk;
                throw;
            }
        }
        chunks.back()[r] = e;
        ++count;
    }

    // Empty again, its chunks freed.
    void clear() {
        for (T* chunk : chunks) delete[] chunk;
        chunks.clear();
        count = 0;
    }

    const T& operator[](std::uint32_t i) const { return chunks[i / N][i % N]; }
    T& operator[](std::uint32_t i) { return chunks[i / N][i % N]; }
    std::uint32_t size() const { return count; }

    std::vector<T*> chunks;
    std::uint32_t count = 0;
};

}  // namespace vaz
