#include "frontend/launch.hpp"

#include <SDL.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace frontend {
namespace {

// SDL's audio drivers (ALSA above all) print their failures straight to
// standard error; the probe's are not the user's business.
class quiet_stderr {
public:
    quiet_stderr() {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0) ::dup2(null, STDERR_FILENO);
        if (null >= 0) ::close(null);
    }
    ~quiet_stderr() {
        std::fflush(stderr);
        if (saved_ >= 0) {
            ::dup2(saved_, STDERR_FILENO);
            ::close(saved_);
        }
    }
    quiet_stderr(const quiet_stderr&) = delete;
    quiet_stderr& operator=(const quiet_stderr&) = delete;

private:
    int saved_;
};

void silence(void*, Uint8* stream, int len) { std::memset(stream, 0, static_cast<std::size_t>(len)); }

bool default_audio_device_opens() {
    quiet_stderr quiet;
    if (SDL_Init(SDL_INIT_AUDIO) != 0) return false;
    // What the game's mixer asks for.
    SDL_AudioSpec want{};
    want.freq = 44100;
    want.format = AUDIO_S16SYS;
    want.channels = 2;
    want.samples = 2048;
    want.callback = silence;
    const bool opened = SDL_OpenAudio(&want, nullptr) == 0;
    // Closed before the game starts: some devices take one user at a time.
    if (opened) SDL_CloseAudio();
    SDL_Quit();
    return opened;
}

}  // namespace

std::string game_program() {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const std::filesystem::path beside = self.parent_path() / "velmora";
        if (::access(beside.c_str(), X_OK) == 0) return beside.string();
    }
    return "velmora";
}

std::vector<std::string> game_arguments(const std::string& program, const std::string& song,
                                        const std::string& stage, bool fullscreen) {
    return {program, song, stage, fullscreen ? "-fullscreen" : "-window"};
}

std::string display_problem() {
    auto set = [](const char* name) {
        const char* v = std::getenv(name);
        return v != nullptr && v[0] != '\0';
    };
    if (set("SDL_VIDEODRIVER") || set("DISPLAY") || set("WAYLAND_DISPLAY")) return {};
    return "DISPLAY is not set";
}

bool choose_silent_audio_when_no_device() {
    const char* chosen = std::getenv("SDL_AUDIODRIVER");
    if (chosen != nullptr && chosen[0] != '\0') return false;
    if (default_audio_device_opens()) return false;
    ::setenv("SDL_AUDIODRIVER", "dummy", 1);
    return true;
}

std::string exec_game(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::fflush(stdout);
    std::fflush(stderr);
    ::execvp(argv[0], argv.data());
    return std::strerror(errno);
}

}  // namespace frontend
