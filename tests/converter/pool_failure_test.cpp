// A conversion whose event pools cannot grow (they grow on the thread that
// makes and writes the records, the caller's), or whose analysis threads get
// no memory at all. This binary replaces the global allocation functions so
// that the pools' own requests (new (std::nothrow) char[]) can be refused on
// demand, or every request on threads other than the test's; everything else
// allocates as usual.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <sstream>
#include <string>
#include <chrono>
#include <thread>
#include <vector>

#include "converter/convert.hpp"
#include "support/sound_files.hpp"
#include "support/scratch_dir.hpp"

namespace {

std::atomic<bool> refuse_pool_growth{false};
std::atomic<bool> refuse_everything{false};
std::atomic<int> refused{0};
std::thread::id test_thread;

bool off_the_test_thread() { return std::this_thread::get_id() != test_thread; }

void* allocate(std::size_t n) {
    if (refuse_everything.load() && off_the_test_thread()) {
        ++refused;
        throw std::bad_alloc();
    }
    if (n == 0) n = 1;
    if (void* p = std::malloc(n)) return p;
    throw std::bad_alloc();
}

void* allocate_or_refuse(std::size_t n) noexcept {
    if (refuse_pool_growth.load() || (refuse_everything.load() && off_the_test_thread())) {
        ++refused;
        return nullptr;
    }
    return std::malloc(n == 0 ? 1 : n);
}

// The song from memory, but once its first second is out it waits (a few
// seconds at most) for a worker to ask for memory: the calling thread also
// analyses, and on a busy machine it could otherwise take every second itself
// before a worker is ever scheduled.
class waits_for_a_worker : public converter::memory_stream {
public:
    using memory_stream::memory_stream;
    std::size_t read(std::int16_t* out, std::size_t count) override {
        if (delivered_ && refuse_everything.load())
            for (int ms = 0; ms < 5000 && refused.load() == 0; ++ms)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const std::size_t n = memory_stream::read(out, count);
        delivered_ = delivered_ || n != 0;
        return n;
    }

private:
    bool delivered_ = false;
};

}  // namespace

void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate_or_refuse(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate_or_refuse(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

// Pools that cannot grow, then threads that cannot even set up their
// analysis: either way the caller gets the failure, not the end of the process.
TEST(PoolFailure, ReachesTheCallerAndLeavesNoFile) {
    test_support::scratch_dir dir;
    const std::size_t frames = 8 * 44100;
    const converter::wave_sample source(
        44100, 2,
        test_sound::interleave({test_sound::pulsing_tone(frames, 700.0, 5.0, 15000.0, 1),
                                test_sound::pulsing_tone(frames, 900.0, 6.0, 15000.0, 2)}));
    std::ostringstream text;
    converter::console con(text, converter::console_encoding::utf8);

    test_thread = std::this_thread::get_id();
    for (std::atomic<bool>* refusal : {&refuse_pool_growth, &refuse_everything}) {
        const char* what = refusal == &refuse_pool_growth ? "pool growth refused" : "everything refused";
        refused = 0;
        *refusal = true;
        waits_for_a_worker stream(source);
        EXPECT_THROW(converter::convert(stream, dir / "out.pat", converter::edition::standard,
                                        converter::difficulty::hard, con, 3),
                     std::bad_alloc)
            << what;
        *refusal = false;
        EXPECT_GT(refused.load(), 0) << what << ": nothing asked for memory";
        EXPECT_EQ(dir.entries(), std::vector<std::string>{}) << what;

        // Nothing is left in a state that spoils the next conversion.
        EXPECT_TRUE(converter::convert(source, dir / "out.pat", converter::edition::standard, con, 3)) << what;
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.pat"}) << what;
        std::remove((dir / "out.pat").c_str());
    }
}
