#include "draw_calls.hpp"

#include "shell/colours.hpp"
#include "shell/video.hpp"

namespace drawing_test {
namespace {
bool recording = false;
}

void record_draw_calls(bool on) { recording = on; }

std::vector<draw_call>& draw_calls() {
    static std::vector<draw_call> calls;
    return calls;
}

}  // namespace drawing_test

using drawing_test::draw_calls;

// fill_rect(int, int, int, int, fill_colour), draw_line(line_colour, int,
// int, int, int) and blit(const sprite&, int, int).
extern "C" {
void __real__Z9fill_rectiiii11fill_colour(int x, int y, int w, int h, fill_colour colour);
void __real__Z9draw_line11line_colouriiii(line_colour colour, int x0, int y0, int x1, int y1);
void __real__Z4blitRK6spriteii(const sprite& s, int x, int y);

void __wrap__Z9fill_rectiiii11fill_colour(int x, int y, int w, int h, fill_colour colour) {
    if (drawing_test::recording) draw_calls().push_back({'f', x, y, colour.pixel, nullptr});
    __real__Z9fill_rectiiii11fill_colour(x, y, w, h, colour);
}

void __wrap__Z9draw_line11line_colouriiii(line_colour colour, int x0, int y0, int x1, int y1) {
    if (drawing_test::recording) draw_calls().push_back({'l', x0, y0, static_cast<Uint32>(colour.rgb), nullptr});
    __real__Z9draw_line11line_colouriiii(colour, x0, y0, x1, y1);
}

void __wrap__Z4blitRK6spriteii(const sprite& s, int x, int y) {
    if (drawing_test::recording) draw_calls().push_back({'b', x, y, 0, &s});
    __real__Z4blitRK6spriteii(s, x, y);
}
}
