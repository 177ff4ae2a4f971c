// Draws the game's sprite sheet and writes it as a BMP, or draws the
// program's icon (the ship in a ring of bullets) and writes it as a PNG:
//
//   make_sprite_sheet data/p.bmp
//   make_sprite_sheet --icon velmora.png
//
// Every rectangle the game blits from lives at a fixed place in the sheet (see
// shell/sprites.cpp); everything else is cyan, the transparent colour. The
// picture is drawn in code so that it can be changed and regenerated rather
// than edited by hand.
#include <SDL.h>

#include <cmath>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int sheet_width = 160;
constexpr int sheet_height = 130;

struct rgb {
    std::uint8_t r, g, b;
};

constexpr rgb transparent{0, 255, 255};

rgb mix(rgb a, rgb b, double t) {
    auto lerp = [t](int p, int q) { return static_cast<std::uint8_t>(std::lround(p + (q - p) * t)); };
    return {lerp(a.r, b.r), lerp(a.g, b.g), lerp(a.b, b.b)};
}

class canvas {
public:
    canvas(int w, int h) : w_(w), h_(h), px_(static_cast<std::size_t>(w) * h, transparent) {}

    int width() const { return w_; }
    int height() const { return h_; }
    rgb at(int x, int y) const { return px_[static_cast<std::size_t>(y) * w_ + x]; }

    void set(int x, int y, rgb c) {
        if (x < 0 || y < 0 || x >= w_ || y >= h_) return;
        px_[static_cast<std::size_t>(y) * w_ + x] = c;
    }

    void fill(int x, int y, int w, int h, rgb c) {
        for (int j = y; j < y + h; ++j)
            for (int i = x; i < x + w; ++i) set(i, j, c);
    }

private:
    int w_, h_;
    std::vector<rgb> px_;
};

// Pixel art: one string per row, one character per pixel, '.' left transparent.
using palette = std::map<char, rgb>;
using art = std::vector<std::string>;

void paint(canvas& c, int x, int y, const art& rows, const palette& pal, bool mirrored = false) {
    for (int j = 0; j < static_cast<int>(rows.size()); ++j) {
        const std::string& row = rows[j];
        const int n = static_cast<int>(row.size());
        for (int i = 0; i < n; ++i) {
            const char ch = row[mirrored ? n - 1 - i : i];
            if (ch == '.') continue;
            c.set(x + i, y + j, pal.at(ch));
        }
    }
}

art stack(std::initializer_list<art> parts) {
    art out;
    for (const art& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// ---------------------------------------------------------------- fonts

// Counter digits: 4 columns of ink in a 5-pixel cell, since the game sets
// digits side by side with no gap of its own.
const std::map<char, art> digit_font = {
    {'0', {".##.", "#..#", "#..#", "#..#", "#..#", "#..#", ".##."}},
    {'1', {".#..", "##..", ".#..", ".#..", ".#..", ".#..", "###."}},
    {'2', {".##.", "#..#", "...#", "..#.", ".#..", "#...", "####"}},
    {'3', {"###.", "...#", "...#", ".##.", "...#", "...#", "###."}},
    {'4', {"..#.", ".##.", "#.#.", "#.#.", "####", "..#.", "..#."}},
    {'5', {"####", "#...", "###.", "...#", "...#", "#..#", ".##."}},
    {'6', {".##.", "#...", "#...", "###.", "#..#", "#..#", ".##."}},
    {'7', {"####", "...#", "..#.", "..#.", ".#..", ".#..", ".#.."}},
    {'8', {".##.", "#..#", "#..#", ".##.", "#..#", "#..#", ".##."}},
    {'9', {".##.", "#..#", "#..#", ".###", "...#", "...#", ".##."}},
    {'.', {"....", "....", "....", "....", "....", ".##.", ".##."}},
};

// Captions: a 5x7 capital font.
const std::map<char, art> caption_font = {
    {'A', {".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
    {'C', {".###.", "#...#", "#....", "#....", "#....", "#...#", ".###."}},
    {'D', {"####.", "#...#", "#...#", "#...#", "#...#", "#...#", "####."}},
    {'E', {"#####", "#....", "#....", "####.", "#....", "#....", "#####"}},
    {'F', {"#####", "#....", "#....", "####.", "#....", "#....", "#...."}},
    {'G', {".###.", "#...#", "#....", "#.###", "#...#", "#...#", ".####"}},
    {'H', {"#...#", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
    {'I', {"###", ".#.", ".#.", ".#.", ".#.", ".#.", "###"}},
    {'L', {"#....", "#....", "#....", "#....", "#....", "#....", "#####"}},
    {'K', {"#...#", "#..#.", "#.#..", "##...", "#.#..", "#..#.", "#...#"}},
    {'M', {"#...#", "##.##", "#.#.#", "#.#.#", "#...#", "#...#", "#...#"}},
    {'N', {"#...#", "##..#", "#.#.#", "#.#.#", "#..##", "#...#", "#...#"}},
    {'O', {".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
    {'P', {"####.", "#...#", "#...#", "####.", "#....", "#....", "#...."}},
    {'R', {"####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"}},
    {'S', {".####", "#....", "#....", ".###.", "....#", "....#", "####."}},
    {'T', {"#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."}},
    {'U', {"#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
    {'V', {"#...#", "#...#", "#...#", "#...#", "#...#", ".#.#.", "..#.."}},
    {'Y', {"#...#", "#...#", ".#.#.", "..#..", "..#..", "..#..", "..#.."}},
    {'!', {"#", "#", "#", "#", "#", ".", "#"}},
    {' ', {"..", "..", "..", "..", "..", "..", ".."}},
};

// Ink runs in a gradient from top to bottom of the glyphs.
struct text_style {
    rgb top, bottom;
    int scale_x = 1, scale_y = 1;
    bool shadow = false;
    rgb shadow_colour{0, 0, 0};
};

int text_width(const std::string& s, const std::map<char, art>& font, int scale_x) {
    int w = 0;
    for (char ch : s) w += (static_cast<int>(font.at(ch)[0].size()) + 1) * scale_x;
    return s.empty() ? 0 : w - scale_x;
}

void draw_text(canvas& c, int x, int y, const std::string& s, const std::map<char, art>& font, const text_style& st) {
    auto pass = [&](int ox, int oy, bool is_shadow) {
        int pen = x + ox;
        for (char ch : s) {
            const art& g = font.at(ch);
            const int rows = static_cast<int>(g.size()) * st.scale_y;
            for (int j = 0; j < static_cast<int>(g.size()); ++j)
                for (int i = 0; i < static_cast<int>(g[j].size()); ++i) {
                    if (g[j][i] != '#') continue;
                    for (int sy = 0; sy < st.scale_y; ++sy) {
                        const int row = j * st.scale_y + sy;
                        const rgb ink = is_shadow ? st.shadow_colour
                                                  : mix(st.top, st.bottom, rows > 1 ? double(row) / (rows - 1) : 0.0);
                        for (int sx = 0; sx < st.scale_x; ++sx)
                            c.set(pen + i * st.scale_x + sx, y + oy + row, ink);
                    }
                }
            pen += (static_cast<int>(g[0].size()) + 1) * st.scale_x;
        }
    };
    if (st.shadow) pass(1, 1, true);
    pass(0, 0, false);
}

// ---------------------------------------------------------------- shapes

// A panel with its corners cut by one pixel, a border and a vertical gradient.
void draw_panel(canvas& c, int x, int y, int w, int h, rgb border, rgb fill_top, rgb fill_bottom) {
    for (int j = 0; j < h; ++j) {
        const rgb fill = mix(fill_top, fill_bottom, h > 1 ? double(j) / (h - 1) : 0.0);
        for (int i = 0; i < w; ++i) {
            const bool corner = (i == 0 || i == w - 1) && (j == 0 || j == h - 1);
            if (corner) continue;
            const bool edge = i == 0 || j == 0 || i == w - 1 || j == h - 1;
            c.set(x + i, y + j, edge ? border : fill);
        }
    }
}

// A ring centred in a size x size box: pixels whose centre lies between
// radius - thickness and radius, coloured from the inner to the outer edge.
void draw_ring(canvas& c, int x, int y, int size, double radius, double thickness, rgb inner, rgb outer) {
    const double centre = size / 2.0;
    for (int j = 0; j < size; ++j)
        for (int i = 0; i < size; ++i) {
            const double d = std::hypot(i + 0.5 - centre, j + 0.5 - centre);
            if (d > radius || d < radius - thickness) continue;
            c.set(x + i, y + j, mix(inner, outer, (d - (radius - thickness)) / thickness));
        }
}

// ---------------------------------------------------------------- sprites

const rgb white{255, 255, 255};
const rgb gold{255, 214, 96};
const rgb amber{255, 150, 40};

void draw_digits(canvas& c) {
    const text_style st{white, {176, 204, 255}};
    for (int d = 0; d <= 9; ++d) draw_text(c, 60 + 5 * d, 0, std::string(1, char('0' + d)), digit_font, st);
    draw_text(c, 110, 0, ".", digit_font, st);
}

// A caption one pixel below its box's top, centred or (over a counter, whose
// digits start at the box's left edge) one pixel in from the left.
void draw_label(canvas& c, int x, int y, int w, const std::string& s, rgb top, rgb bottom, bool centred = true) {
    const int tw = text_width(s, caption_font, 1);
    draw_text(c, centred ? x + (w - tw) / 2 : x + 1, y + 1, s, caption_font, {top, bottom});
}

void draw_title_image(canvas& c, int x, int y) {
    draw_panel(c, x, y, 60, 40, {170, 150, 255}, {16, 8, 48}, {52, 18, 92});
    const std::string name = "VELMORA";
    text_style st{white, {255, 140, 214}, 1, 2, true, {0, 0, 0}};
    draw_text(c, x + (60 - text_width(name, caption_font, 1)) / 2, y + 4, name, caption_font, st);

    // A little spectrum under the name: the music the stage is made of.
    const int heights[] = {4, 8, 11, 6, 13, 9, 5, 10, 12, 7, 3};
    const int bars = static_cast<int>(sizeof heights / sizeof heights[0]);
    const int left = x + (60 - (bars * 4 - 1)) / 2;
    const int base = y + 34;
    for (int b = 0; b < bars; ++b)
        for (int k = 0; k < heights[b]; ++k) {
            const double t = k / 12.0;
            const rgb col = t < 0.5 ? mix({64, 232, 128}, {255, 228, 72}, t * 2) : mix({255, 228, 72}, {255, 84, 128}, t * 2 - 1);
            c.fill(left + 4 * b, base - 1 - k, 3, 1, col);
        }
    c.fill(x + 6, base, 48, 1, {120, 104, 200});
}

void draw_ready_label(canvas& c, int x, int y) {
    draw_label(c, x, y, 40, "READY", white, gold);
    const art arrow = {"#..", "##.", "###", "##.", "#.."};
    const palette pal = {{'#', amber}};
    paint(c, x + 1, y + 2, arrow, pal);
    paint(c, x + 36, y + 2, arrow, pal, true);
}

void draw_outi_image(canvas& c, int x, int y) {
    draw_panel(c, x, y, 100, 20, amber, {72, 28, 0}, {120, 52, 8});
    const std::string s = "ALL FIRED";
    const text_style st{{255, 248, 200}, gold, 1, 1, true, {40, 12, 0}};
    const int tw = text_width(s, caption_font, 1);
    draw_text(c, x + (100 - tw) / 2, y + 6, s, caption_font, st);
    // Bullet marks either side of the caption.
    const palette pal = {{'o', {255, 120, 96}}, {'O', {255, 208, 176}}};
    const art dot = {".o.", "oOo", ".o."};
    for (int k = 0; k < 3; ++k) {
        paint(c, x + 8 + 5 * k, y + 8, dot, pal);
        paint(c, x + 79 + 5 * k, y + 8, dot, pal);
    }
}

// The status faces: a 10x10 face and a word beside it.
void draw_face(canvas& c, int x, int y, const art& face, const palette& pal, const std::string& word, rgb top, rgb bottom) {
    paint(c, x + 1, y, face, pal);
    draw_text(c, x + 14, y + 1, word, caption_font, {top, bottom});
}

void draw_smile_image(canvas& c, int x, int y) {
    const palette pal = {{'o', {180, 110, 0}}, {'y', {255, 220, 64}}, {'Y', {255, 246, 170}}, {'e', {64, 32, 0}}};
    const art face = {
        "..oooooo..",
        ".oyYYyyyo.",
        "oyYyyyyyyo",
        "oyyeyyeyyo",
        "oyyeyyeyyo",
        "oyyyyyyyyo",
        "oyeyyyyeyo",
        "oyyeeeeyyo",
        ".oyyyyyyo.",
        "..oooooo..",
    };
    draw_face(c, x, y, face, pal, "GOOD!", {200, 255, 160}, {96, 220, 96});
}

void draw_bombed_image(canvas& c, int x, int y) {
    const palette pal = {{'o', {150, 24, 24}}, {'r', {255, 96, 72}}, {'R', {255, 180, 150}}, {'e', {48, 0, 0}}};
    const art face = {
        "..oooooo..",
        ".orRRrrro.",
        "oererrereo",
        "orerrrrero",
        "oererrereo",
        "orrrrrrrro",
        "orrreerrro",
        "orrerrerro",
        ".orreerro.",
        "..oooooo..",
    };
    draw_face(c, x, y, face, pal, "OUCH!", {255, 200, 180}, {255, 72, 72});
}

void draw_gameover_image(canvas& c, int x, int y) {
    const std::string s = "RESULT";
    const text_style st{{255, 250, 190}, amber, 2, 2, true, {90, 30, 0}};
    const int tw = text_width(s, caption_font, 2);
    draw_text(c, x + (70 - tw) / 2, y + 2, s, caption_font, st);
    c.fill(x + 2, y + 18, 66, 1, amber);
}

// Shown over a paused run: 80x20, the caption at twice the size on a panel.
void draw_pause_label(canvas& c, int x, int y) {
    draw_panel(c, x, y, 80, 20, {150, 200, 255}, {8, 24, 56}, {20, 52, 104});
    const std::string s = "PAUSED";
    const text_style st{white, {150, 200, 255}, 2, 2, true, {0, 0, 0}};
    const int tw = text_width(s, caption_font, 2);
    draw_text(c, x + (80 - tw) / 2 + 1, y + 3, s, caption_font, st);
}

// The calibration window's two labels, in space no game sprite uses: what
// to do (100x20), and the request to do it again after a refused try (100x10).
void draw_calibration_labels(canvas& c, int x, int y) {
    draw_panel(c, x, y, 100, 20, {150, 200, 255}, {8, 24, 56}, {20, 52, 104});
    const text_style st{white, {150, 200, 255}};
    for (const auto& [line, dy] : {std::pair<std::string, int>{"PRESS SPACE", 2}, {"ON EACH CLICK", 11}})
        draw_text(c, x + (100 - text_width(line, caption_font, 1)) / 2, y + dy, line, caption_font, st);
    draw_label(c, x, y + 21, 100, "TRY AGAIN", {255, 200, 180}, {255, 72, 72});
}

void draw_blood_image(canvas& c, int x, int y) {
    const palette pal = {{'r', {200, 0, 16}}, {'R', {255, 64, 64}}, {'d', {120, 0, 8}}};
    const art drop = {
        "..r..",
        ".rRr.",
        "rRrrr",
        "rrrrd",
        ".ddd.",
    };
    paint(c, x, y, drop, pal);
}

// ---------------------------------------------------------------- the ship

// A small walker seen from four sides. Heads and bodies are shared between
// frames; only the legs change as it walks.
const palette ship_palette = {
    {'K', {28, 20, 56}},    // outline
    {'H', {255, 136, 56}},  // hair
    {'h', {255, 200, 128}}, // hair shine
    {'S', {255, 220, 186}}, // skin
    {'E', {32, 32, 96}},    // eyes
    {'B', {72, 144, 255}},  // coat
    {'b', {40, 88, 208}},   // coat shade
    {'W', {240, 240, 255}}, // belt
    {'P', {96, 96, 140}},   // legs
    {'p', {64, 64, 100}},   // far leg
    {'F', {220, 64, 64}},   // shoes
};

const art head_front = {
    "..KKKKKK..",
    ".KHhhHHHK.",
    "KHhHHHHHHK",
    "KHSSSSSSHK",
    "KSSESSESSK",
    "KSSESSESSK",
    ".KSSSSSSK.",
};
const art head_back = {
    "..KKKKKK..",
    ".KHHHhhHK.",
    "KHHHHHHhHK",
    "KHHHHHHHHK",
    "KHHHHHHHHK",
    "KSHHHHHHSK",
    ".KHHHHHHK.",
};
const art body_upright = {
    "..KBBBBK..",
    ".KbBBBBbK.",
    ".KSBBBBSK.",
    "..KWWWWK..",
};
const art legs_upright[3] = {
    {"..KPPPPK..", "..KPKKPK..", "..KPKKPK..", "..KFKKFK.."},
    {"..KPPPPK..", "..KPKKPK..", "..KFKKPK..", "...K.KFK.."},
    {"..KPPPPK..", "..KPKKPK..", "..KPKKFK..", "..KFK.K..."},
};

// Facing left; facing right is the mirror image.
const art head_side = {
    "..KKKKK...",
    ".KHhhHHK..",
    "KHHHHHHHK.",
    "KHSSSHHHK.",
    "KSESSSHHK.",
    "KSSSSSHHK.",
    ".KKSSSKK..",
};
const art body_side = {
    "..KBBBK...",
    "..KBbBK...",
    "..KBSBK...",
    "..KWWWK...",
};
const art legs_side[3] = {
    {"...KPPK...", "...KPPK...", "...KPPK...", "..KFFFK..."},
    {"..KPPPPK..", ".KPPKKpK..", "KPPK.KppK.", "KFFK..KFK."},
    {"...KPPK...", "...KPpK...", "..KPPpK...", "..KFFFFK.."},
};

void draw_ship_frames(canvas& c) {
    for (int f = 0; f < 3; ++f) {
        const art left = stack({head_side, body_side, legs_side[f]});
        paint(c, 10 * f, 20, left, ship_palette);                // row 0: left
        paint(c, 30 + 10 * f, 20, left, ship_palette, true);     // row 1: right
        paint(c, 10 * f, 0, stack({head_back, body_upright, legs_upright[f]}), ship_palette);       // row 2: up
        paint(c, 30 + 10 * f, 0, stack({head_front, body_upright, legs_upright[f]}), ship_palette); // row 3: down
    }
}

// ---------------------------------------------------------------- output

canvas draw_sheet() {
    canvas c(sheet_width, sheet_height);
    draw_ship_frames(c);
    draw_digits(c);
    draw_ready_label(c, 60, 10);
    draw_label(c, 100, 10, 40, "HITS", white, gold, false);
    draw_outi_image(c, 60, 20);
    draw_title_image(c, 0, 40);
    draw_bombed_image(c, 60, 40);
    draw_smile_image(c, 60, 50);
    draw_label(c, 60, 60, 30, "RATE", white, gold, false);
    draw_gameover_image(c, 0, 80);
    draw_pause_label(c, 80, 80);
    draw_calibration_labels(c, 60, 100);
    draw_blood_image(c, 0, 100);
    draw_ring(c, 10, 100, 30, 14.5, 2.6, {255, 255, 200}, {255, 176, 0});
    draw_ring(c, 40, 100, 20, 9.5, 2.2, {255, 200, 160}, {255, 72, 40});
    return c;
}

bool write_bmp(const canvas& c, const char* path) {
    SDL_Surface* s = SDL_CreateRGBSurface(SDL_SWSURFACE, c.width(), c.height(), 32,
                                          0x00ff0000, 0x0000ff00, 0x000000ff, 0);
    if (!s) return false;
    for (int y = 0; y < c.height(); ++y) {
        auto* row = reinterpret_cast<Uint32*>(static_cast<Uint8*>(s->pixels) + y * s->pitch);
        for (int x = 0; x < c.width(); ++x) {
            const rgb p = c.at(x, y);
            row[x] = SDL_MapRGB(s->format, p.r, p.g, p.b);
        }
    }
    const bool ok = SDL_SaveBMP(s, path) == 0;
    SDL_FreeSurface(s);
    return ok;
}

// ---------------------------------------------------------------- icon

constexpr int icon_size = 128;

// A scaled copy of a picture; transparent pixels stay out.
void paint_scaled(canvas& c, int x, int y, const art& rows, const palette& pal, int scale) {
    for (int j = 0; j < static_cast<int>(rows.size()); ++j)
        for (int i = 0; i < static_cast<int>(rows[j].size()); ++i) {
            if (rows[j][i] == '.') continue;
            c.fill(x + i * scale, y + j * scale, scale, scale, pal.at(rows[j][i]));
        }
}

// The ship facing the player in a ring of bullets flying out, on a night-blue
// disc; outside the disc it is transparent.
canvas draw_icon() {
    canvas c(icon_size, icon_size);
    const double centre = icon_size / 2.0;
    for (int j = 0; j < icon_size; ++j)
        for (int i = 0; i < icon_size; ++i) {
            const double d = std::hypot(i + 0.5 - centre, j + 0.5 - centre);
            if (d <= 62.0) c.set(i, j, mix({40, 48, 120}, {8, 8, 32}, d / 62.0));
        }
    draw_ring(c, 0, 0, icon_size, 62.0, 4.0, {255, 176, 0}, {255, 255, 200});
    const rgb bullet_core{255, 255, 255};
    const rgb bullet_glow{255, 72, 96};
    for (int k = 0; k < 12; ++k) {
        const double a = k * (2.0 * 3.14159265358979 / 12.0) + 0.26;
        const double r = (k % 2 == 0) ? 48.0 : 40.0;
        const int bx = static_cast<int>(std::lround(centre + r * std::cos(a)));
        const int by = static_cast<int>(std::lround(centre + r * std::sin(a)));
        c.fill(bx - 3, by - 3, 7, 7, bullet_glow);
        c.fill(bx - 1, by - 1, 3, 3, bullet_core);
    }
    const art ship = stack({head_front, body_upright, legs_upright[0]});
    constexpr int scale = 4;
    const int w = static_cast<int>(ship[0].size()) * scale;
    const int h = static_cast<int>(ship.size()) * scale;
    paint_scaled(c, (icon_size - w) / 2, (icon_size - h) / 2, ship, ship_palette, scale);
    return c;
}

// A PNG needs a deflate stream, but not a compressed one: stored blocks keep
// this writer free of a compression library.
std::uint32_t crc32(const std::uint8_t* p, std::size_t n, std::uint32_t crc = 0) {
    crc = ~crc;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void put_u32_be(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void put_chunk(std::vector<std::uint8_t>& out, const char* type, const std::vector<std::uint8_t>& data) {
    put_u32_be(out, static_cast<std::uint32_t>(data.size()));
    std::vector<std::uint8_t> body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    out.insert(out.end(), body.begin(), body.end());
    put_u32_be(out, crc32(body.data(), body.size()));
}

// 8-bit RGBA; the transparent colour becomes alpha 0.
std::vector<std::uint8_t> encode_png(const canvas& c) {
    std::vector<std::uint8_t> raw;
    for (int y = 0; y < c.height(); ++y) {
        raw.push_back(0);  // filter: none
        for (int x = 0; x < c.width(); ++x) {
            const rgb p = c.at(x, y);
            const bool clear = p.r == transparent.r && p.g == transparent.g && p.b == transparent.b;
            raw.insert(raw.end(), {clear ? std::uint8_t{0} : p.r, clear ? std::uint8_t{0} : p.g,
                                   clear ? std::uint8_t{0} : p.b, clear ? std::uint8_t{0} : std::uint8_t{255}});
        }
    }
    std::vector<std::uint8_t> z = {0x78, 0x01};
    std::uint32_t a = 1, b = 0;  // Adler-32
    for (std::uint8_t v : raw) {
        a = (a + v) % 65521;
        b = (b + a) % 65521;
    }
    for (std::size_t at = 0; at < raw.size() || at == 0;) {
        const std::size_t n = std::min<std::size_t>(65535, raw.size() - at);
        const bool last = at + n == raw.size();
        z.push_back(last ? 1 : 0);
        z.insert(z.end(), {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
                           static_cast<std::uint8_t>(~n), static_cast<std::uint8_t>(~n >> 8)});
        z.insert(z.end(), raw.begin() + static_cast<std::ptrdiff_t>(at), raw.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
        if (last) break;
    }
    put_u32_be(z, (b << 16) | a);

    std::vector<std::uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<std::uint8_t> header;
    put_u32_be(header, static_cast<std::uint32_t>(c.width()));
    put_u32_be(header, static_cast<std::uint32_t>(c.height()));
    header.insert(header.end(), {8, 6, 0, 0, 0});  // 8 bits, RGBA, deflate, adaptive filters, no interlace
    put_chunk(out, "IHDR", header);
    put_chunk(out, "IDAT", z);
    put_chunk(out, "IEND", {});
    return out;
}

// Written to a temporary name and renamed, so a failed run leaves no half icon.
bool write_png(const canvas& c, const std::string& path) {
    const std::vector<std::uint8_t> bytes = encode_png(c);
    const std::string temporary = path + ".part";
    {
        std::ofstream out(temporary, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out.flush()) {
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--icon") {
        if (!write_png(draw_icon(), argv[2])) {
            std::fprintf(stderr, "make_sprite_sheet: cannot write %s\n", argv[2]);
            return 1;
        }
        return 0;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_sprite_sheet <output.bmp>\n"
                             "       make_sprite_sheet --icon <output.png>\n");
        return 2;
    }
    if (!write_bmp(draw_sheet(), argv[1])) {
        std::fprintf(stderr, "make_sprite_sheet: cannot write %s: %s\n", argv[1], SDL_GetError());
        return 1;
    }
    return 0;
}
