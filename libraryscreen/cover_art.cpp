#include "libraryscreen/cover_art.hpp"

#include <SDL_image.h>
#include <strings.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

#include "musicfiles/tags.hpp"

namespace libraryscreen {
namespace {

constexpr Uint32 red_mask = 0xFF0000, green_mask = 0xFF00, blue_mask = 0xFF;

// Every pixel of `from`, scaled to w x h: each target pixel the mean of the
// source pixels it covers (the nearest one when enlarging).
owned_surface scaled(SDL_Surface* from, int w, int h) {
    owned_surface rgb(SDL_CreateRGBSurface(SDL_SWSURFACE, from->w, from->h, 32, red_mask, green_mask, blue_mask, 0));
    owned_surface out(SDL_CreateRGBSurface(SDL_SWSURFACE, w, h, 32, red_mask, green_mask, blue_mask, 0));
    if (!rgb || !out) return nullptr;
    SDL_SetAlpha(from, 0, 0);  // copied as it is, not blended
    SDL_BlitSurface(from, nullptr, rgb.get(), nullptr);
    const auto pixel = [&](int x, int y) {
        return static_cast<const Uint32*>(rgb->pixels)[static_cast<std::size_t>(y) * rgb->pitch / 4 + x];
    };
    for (int ty = 0; ty < h; ++ty) {
        const int y0 = ty * from->h / h, y1 = std::max(y0 + 1, (ty + 1) * from->h / h);
        for (int tx = 0; tx < w; ++tx) {
            const int x0 = tx * from->w / w, x1 = std::max(x0 + 1, (tx + 1) * from->w / w);
            std::uint64_t r = 0, g = 0, b = 0, n = 0;
            for (int y = y0; y < y1; ++y)
                for (int x = x0; x < x1; ++x) {
                    const Uint32 p = pixel(x, y);
                    r += (p >> 16) & 0xFF;
                    g += (p >> 8) & 0xFF;
                    b += p & 0xFF;
                    ++n;
                }
            static_cast<Uint32*>(out->pixels)[static_cast<std::size_t>(ty) * out->pitch / 4 + tx] =
                static_cast<Uint32>((r / n) << 16 | (g / n) << 8 | (b / n));
        }
    }
    return out;
}

std::string file_bytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// cover.jpg, Folder.PNG and the like beside the song: the covers first,
// then the folders, each by name.
std::vector<std::filesystem::path> images_beside(const std::string& song) {
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::path(song).parent_path();
    std::vector<std::pair<int, std::filesystem::path>> found;
    for (const auto& e : std::filesystem::directory_iterator(folder.empty() ? "." : folder, ec)) {
        const std::string stem = e.path().stem().string(), ext = e.path().extension().string();
        const bool cover = strcasecmp(stem.c_str(), "cover") == 0, folder_image = strcasecmp(stem.c_str(), "folder") == 0;
        const bool image = strcasecmp(ext.c_str(), ".jpg") == 0 || strcasecmp(ext.c_str(), ".jpeg") == 0 ||
                           strcasecmp(ext.c_str(), ".png") == 0;
        if ((cover || folder_image) && image && e.is_regular_file(ec)) found.emplace_back(cover ? 0 : 1, e.path());
    }
    std::sort(found.begin(), found.end());
    std::vector<std::filesystem::path> paths;
    for (auto& f : found) paths.push_back(std::move(f.second));
    return paths;
}

}  // namespace

owned_surface decode_cover(const std::string& bytes, int size) {
    if (bytes.empty() || size <= 0) return nullptr;
    SDL_RWops* rw = SDL_RWFromConstMem(bytes.data(), static_cast<int>(bytes.size()));
    if (!rw) return nullptr;
    owned_surface picture(IMG_Load_RW(rw, 1));
    if (!picture || picture->w <= 0 || picture->h <= 0) return nullptr;
    const int longest = std::max(picture->w, picture->h);
    const int target = std::min(size, 2 * longest);
    const int w = std::max(1, picture->w * target / longest), h = std::max(1, picture->h * target / longest);
    return scaled(picture.get(), w, h);
}

owned_surface load_cover(const std::string& song, bool tagged, int size) {
    if (tagged)
        if (owned_surface s = decode_cover(musicfiles::cover_picture(song), size)) return s;
    // The first image beside it that decodes.
    for (const std::filesystem::path& image : images_beside(song))
        if (owned_surface s = decode_cover(file_bytes(image), size)) return s;
    return nullptr;
}

}  // namespace libraryscreen
