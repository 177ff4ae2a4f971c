#include "gametask/draw_helpers.hpp"

#include "results/replay_file.hpp"
#include "shell/sprites.hpp"

namespace gametask {

namespace {

// Ten digits with leading zeros, 5 pixels apart from the left edge.
void draw_ten_digits(std::uint32_t value, int y) {
    std::uint32_t place = 1000000000;
    for (int i = 0; i < 10; ++i, place /= 10) blit(*digits[(value / place) % 10], 5 * i, y);
}

}  // namespace

void draw_play_counters(std::int32_t hits, std::int32_t score) {
    const auto h = static_cast<std::uint32_t>(hits);

    blit(first_counter_label, 0, 20);
    draw_ten_digits(h, 30);
    blit(second_counter_label, 0, 40);

    // The one definition, shared with the results velmora_play keeps.
    const float ratio = results::shown_ratio(hits, score);
    // ratio lies in [0, 2^32]; 64-bit truncation keeps both parts defined at
    // the top of that range, where a 32-bit conversion would overflow.
    const auto whole = static_cast<std::int64_t>(ratio);
    draw_ten_digits(static_cast<std::uint32_t>(whole), 50);
    blit(point_glyph, 50, 50);
    const auto hundredths = static_cast<int>(static_cast<std::int64_t>(static_cast<double>(ratio) * 100.0) % 100);
    blit(*digits[hundredths / 10], 55, 50);
    blit(*digits[hundredths % 10], 60, 50);
}

}  // namespace gametask
