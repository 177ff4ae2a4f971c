#include "draw_calls.hpp"

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

// fill_rect(int, int, int, int, Uint32), draw_line(int, int, int, int, int)
// and blit(const sprite&, int, int).
extern "C" {
void __real__Z9fill_rectiiiij(int x, int y, int w, int h, Uint32 pixel);
void __real__Z9draw_lineiiiii(int colour, int x0, int y0, int x1, int y1);
void __real__Z4blitRK6spriteii(const sprite& s, int x, int y);

void __wrap__Z9fill_rectiiiij(int x, int y, int w, int h, Uint32 pixel) {
    if (drawing_test::recording) draw_calls().push_back({'f', x, y, pixel, nullptr});
    __real__Z9fill_rectiiiij(x, y, w, h, pixel);
}

void __wrap__Z9draw_lineiiiii(int colour, int x0, int y0, int x1, int y1) {
    if (drawing_test::recording) draw_calls().push_back({'l', x0, y0, static_cast<Uint32>(colour), nullptr});
    __real__Z9draw_lineiiiii(colour, x0, y0, x1, y1);
}

void __wrap__Z4blitRK6spriteii(const sprite& s, int x, int y) {
    if (drawing_test::recording) draw_calls().push_back({'b', x, y, 0, &s});
    __real__Z4blitRK6spriteii(s, x, y);
}
}
