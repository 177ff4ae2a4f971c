// Checks pixels of a screenshot for the end-to-end tests:
//   e2e_probe SHOT [--sheet SHEET.bmp] CHECK...
// Each CHECK is one of
//   count:X,Y,W,H:RRGGBB:MIN   at least MIN pixels of that colour in the rectangle
//   all:X,Y,W,H:RRGGBB         every pixel of the rectangle has that colour
//   sprite:SX,SY,W,H:DX,DY[:P] the sheet's rectangle at (SX,SY) appears at (DX,DY),
//                              ignoring the sheet's transparent cyan; with P, up
//                              to P percent of its pixels may be covered by others
// A CHECK may list alternatives separated by '|' (any one holding is enough),
// and a leading '!' turns a check into its opposite.
// Prints one line per check and exits 0 when all hold, 1 when one fails, 2 on bad use.
#include <SDL.h>
#include <SDL_image.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct image {
    int w = 0, h = 0;
    std::vector<Uint32> rgb;  // 0xRRGGBB
    Uint32 at(int x, int y) const { return rgb[static_cast<std::size_t>(y) * w + x]; }
};

bool load(const char* path, image& out) {
    SDL_Surface* s = IMG_Load(path);
    if (!s) {
        std::fprintf(stderr, "e2e_probe: cannot read %s: %s\n", path, IMG_GetError());
        return false;
    }
    if (SDL_MUSTLOCK(s)) SDL_LockSurface(s);
    out.w = s->w;
    out.h = s->h;
    out.rgb.resize(static_cast<std::size_t>(s->w) * s->h);
    const int bpp = s->format->BytesPerPixel;
    for (int y = 0; y < s->h; ++y) {
        const Uint8* row = static_cast<const Uint8*>(s->pixels) + static_cast<std::ptrdiff_t>(y) * s->pitch;
        for (int x = 0; x < s->w; ++x) {
            const Uint8* p = row + x * bpp;
            Uint32 v = 0;
            switch (bpp) {
                case 1: v = *p; break;
                case 2: v = *reinterpret_cast<const Uint16*>(p); break;
                case 3: v = SDL_BYTEORDER == SDL_LIL_ENDIAN ? p[0] | p[1] << 8 | p[2] << 16 : p[2] | p[1] << 8 | p[0] << 16; break;
                default: v = *reinterpret_cast<const Uint32*>(p); break;
            }
            Uint8 r, g, b;
            SDL_GetRGB(v, s->format, &r, &g, &b);
            out.rgb[static_cast<std::size_t>(y) * s->w + x] = static_cast<Uint32>(r) << 16 | g << 8 | b;
        }
    }
    if (SDL_MUSTLOCK(s)) SDL_UnlockSurface(s);
    SDL_FreeSurface(s);
    return true;
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (;;) {
        const std::size_t at = text.find(sep, from);
        parts.push_back(text.substr(from, at - from));
        if (at == std::string::npos) return parts;
        from = at + 1;
    }
}

bool numbers(const std::string& text, std::size_t n, std::vector<long>& out) {
    out.clear();
    for (const std::string& part : split(text, ',')) {
        char* end = nullptr;
        out.push_back(std::strtol(part.c_str(), &end, 10));
        if (part.empty() || *end != '\0') return false;
    }
    return out.size() == n;
}

bool inside(const image& img, long x, long y, long w, long h) {
    return x >= 0 && y >= 0 && w >= 0 && h >= 0 && x + w <= img.w && y + h <= img.h;
}

constexpr Uint32 transparent = 0x00ffff;

// 1 pass, 0 fail, -1 malformed
int run_check(const std::string& check, const image& shot, const image* sheet) {
    const std::vector<std::string> f = split(check, ':');
    std::vector<long> r, d;
    if ((f[0] == "count" && f.size() == 4) || (f[0] == "all" && f.size() == 3)) {
        if (!numbers(f[1], 4, r) || !inside(shot, r[0], r[1], r[2], r[3])) return -1;
        const Uint32 colour = static_cast<Uint32>(std::strtoul(f[2].c_str(), nullptr, 16));
        long hits = 0;
        for (long y = r[1]; y < r[1] + r[3]; ++y)
            for (long x = r[0]; x < r[0] + r[2]; ++x) hits += shot.at(x, y) == colour;
        const long want = f[0] == "all" ? r[2] * r[3] : std::strtol(f[3].c_str(), nullptr, 10);
        const bool ok = hits >= want;
        std::printf("%s %s: %ld of %ld pixels\n", ok ? "ok  " : "FAIL", check.c_str(), hits, r[2] * r[3]);
        return ok;
    }
    if (f[0] == "sprite" && (f.size() == 3 || f.size() == 4)) {
        if (!sheet) return -1;
        if (!numbers(f[1], 4, r) || !numbers(f[2], 2, d) || !inside(*sheet, r[0], r[1], r[2], r[3]) ||
            !inside(shot, d[0], d[1], r[2], r[3]))
            return -1;
        long compared = 0, wrong = 0;
        for (long y = 0; y < r[3]; ++y) {
            for (long x = 0; x < r[2]; ++x) {
                const Uint32 want = sheet->at(r[0] + x, r[1] + y);
                if (want == transparent) continue;
                ++compared;
                wrong += shot.at(d[0] + x, d[1] + y) != want;
            }
        }
        const long allowed_percent = f.size() == 4 ? std::strtol(f[3].c_str(), nullptr, 10) : 0;
        const bool ok = compared > 0 && wrong * 100 <= allowed_percent * compared;
        std::printf("%s %s: %ld of %ld opaque pixels differ\n", ok ? "ok  " : "FAIL", check.c_str(), wrong, compared);
        return ok;
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: e2e_probe SHOT [--sheet SHEET] CHECK...\n");
        return 2;
    }
    image shot, sheet;
    if (!load(argv[1], shot)) return 2;
    bool have_sheet = false;
    int status = 0;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--sheet" && i + 1 < argc) {
            if (!load(argv[++i], sheet)) return 2;
            have_sheet = true;
            continue;
        }
        const bool negate = arg[0] == '!';
        int r = 0;
        for (const std::string& alternative : split(negate ? arg.substr(1) : arg, '|')) {
            const int one = run_check(alternative, shot, have_sheet ? &sheet : nullptr);
            if (one < 0) {
                r = -1;
                break;
            }
            r = r || one;
        }
        if (r >= 0 && negate) {
            r = !r;
            std::printf("%s (negated) %s\n", r ? "ok  " : "FAIL", arg.c_str());
        }
        if (r < 0) {
            std::fprintf(stderr, "e2e_probe: malformed or out-of-range check %s\n", arg.c_str());
            return 2;
        }
        if (r == 0) status = 1;
    }
    return status;
}
