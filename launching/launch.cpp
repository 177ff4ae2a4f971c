#include "launching/launch.hpp"

#include <SDL.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "audiolayer/playback.hpp"
#include "vaz/executable.hpp"

namespace launching {
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

// SDL is loaded here, in the probe's child, and nowhere else in this
// program: loading it (and the sound and display libraries it brings) would
// cost every start a good part of the time to the game's window.
// `shut_down` closes the device and SDL again; the child skips that and
// exits, which closes the device as well, before its parent (waiting for
// it) starts the game. Shutting down took up to 0.2 s: SDL waits for its
// ALSA device watcher, which sleeps 0.1 s at a time.
bool default_audio_device_opens(bool shut_down) {
    void* sdl = ::dlopen("libSDL-1.2.so.0", RTLD_NOW | RTLD_LOCAL);
    // Without SDL the game cannot start either; it says why itself.
    if (sdl == nullptr) return true;
    const auto init = reinterpret_cast<decltype(&SDL_Init)>(::dlsym(sdl, "SDL_Init"));
    const auto open = reinterpret_cast<decltype(&SDL_OpenAudio)>(::dlsym(sdl, "SDL_OpenAudio"));
    const auto close = reinterpret_cast<decltype(&SDL_CloseAudio)>(::dlsym(sdl, "SDL_CloseAudio"));
    const auto quit = reinterpret_cast<decltype(&SDL_Quit)>(::dlsym(sdl, "SDL_Quit"));
    if (!init || !open || !close || !quit) return true;

    quiet_stderr quiet;
    if (init(SDL_INIT_AUDIO) != 0) return false;
    // What the game's mixer asks for.
    SDL_AudioSpec want{};
    want.freq = 44100;
    want.format = AUDIO_S16SYS;
    want.channels = 2;
    want.samples = 2048;
    want.callback = silence;
    const bool opened = open(&want, nullptr) == 0;
    if (!shut_down) return opened;
    // Closed before the game starts: some devices take one user at a time.
    if (opened) close();
    quit();
    return opened;
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// Whether any sound output could be reached: device nodes (ALSA playback,
// OSS), a sound server's socket, or configuration that may route sound
// elsewhere. When none is there (a server, a container) opening the device
// can only fail, and trying costs a good part of a cached start.
bool sound_output_may_exist() {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/dev/snd", ec)) {
        const std::string name = e.path().filename().string();
        if (name.compare(0, 4, "pcmC") == 0 && name.back() == 'p') return true;
    }
    if (exists("/dev/dsp") || std::getenv("PULSE_SERVER") != nullptr) return true;
    std::string runtime;
    if (const char* r = std::getenv("XDG_RUNTIME_DIR"); r != nullptr && r[0] == '/') runtime = r;
    else runtime = "/run/user/" + std::to_string(::getuid());
    for (const char* socket : {"/pulse/native", "/pipewire-0"}) {
        if (exists(runtime + socket)) return true;
    }
    std::string home;
    if (const char* h = std::getenv("HOME"); h != nullptr) home = h;
    for (const std::string& config : {std::string("/var/run/pulse/native"), std::string("/etc/asound.conf"),
                                      home + "/.asoundrc", home + "/.config/pulse/client.conf"}) {
        if (exists(config)) return true;
    }
    return false;
}

// The game being waited for, for the forwarding handler.
volatile sig_atomic_t forward_to = 0;

void forward_signal(int signal) {
    const int saved = errno;
    if (forward_to > 0) ::kill(static_cast<pid_t>(forward_to), signal);
    errno = saved;
}

constexpr int forwarded_signals[] = {SIGINT, SIGTERM, SIGHUP};

}  // namespace

int wait_or_kill(int pid, int limit_ms) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : child_failed;
        if (done < 0 && errno != EINTR) return child_failed;
        if (std::chrono::steady_clock::now() >= give_up) break;
        ::usleep(2000);
    }
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return child_killed;
}

std::string game_program() {
    const std::string dir = vaz::executable_dir();
    if (!dir.empty()) {
        const std::filesystem::path beside = std::filesystem::path(dir) / "velmora";
        if (::access(beside.c_str(), X_OK) == 0) return beside.string();
    }
    return "velmora";
}

std::vector<std::string> game_arguments(const std::string& program, const std::string& song,
                                        const std::string& stage, bool fullscreen) {
    return {program, song, stage, fullscreen ? "-fullscreen" : "-window"};
}

void add_setting_arguments(std::vector<std::string>& arguments, int offset_ms, int volume, int align_ms) {
    if (offset_ms != 0) arguments.push_back("-offset=" + std::to_string(offset_ms));
    if (align_ms != 0) arguments.push_back("-align=" + std::to_string(align_ms));
    if (volume != audiolayer::playback::full_volume) arguments.push_back("-volume=" + std::to_string(volume));
}

std::string calibration_program() { return private_program("velmora_calibrate"); }

std::string library_program() { return private_program("velmora_library"); }

std::string private_program(const char* name) {
    std::vector<std::filesystem::path> places;
    if (const std::string self_dir = vaz::executable_dir(); !self_dir.empty()) {
        const std::filesystem::path dir(self_dir);
        places.push_back(dir / name);
        for (const char* libexec : {VELMORA_INSTALL_LIBEXECDIR, VELMORA_PACKAGE_LIBEXECDIR})
            places.push_back(dir.parent_path() / libexec / name);
    }
    places.push_back(std::filesystem::path(VELMORA_INSTALL_FULL_LIBEXECDIR) / name);
    for (const std::filesystem::path& p : places) {
        if (::access(p.c_str(), X_OK) == 0) return p.string();
    }
    return places.back().string();
}

std::string display_problem() {
    auto set = [](const char* name) {
        const char* v = std::getenv(name);
        return v != nullptr && v[0] != '\0';
    };
    if (set("SDL_VIDEODRIVER") || set("DISPLAY") || set("WAYLAND_DISPLAY")) return {};
    return "DISPLAY is not set";
}

audio_probe::audio_probe() {
    const char* chosen = std::getenv("SDL_AUDIODRIVER");
    if (chosen != nullptr && chosen[0] != '\0') return;
    if (!sound_output_may_exist()) {
        known_missing_ = true;
        return;
    }
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        // The child only answers through its status; its SDL state and its
        // drivers' complaints die with it.
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) {
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
        }
        ::_exit(default_audio_device_opens(false) ? 0 : 1);
    }
    pid_ = pid;  // -1 when fork failed: then the probe runs here when asked
}

audio_probe::~audio_probe() {
    if (pid_ > 0) wait_or_kill(pid_, probe_limit_ms);
}

bool audio_probe::choose_silent_audio_when_no_device() {
    const char* chosen = std::getenv("SDL_AUDIODRIVER");
    if (chosen != nullptr && chosen[0] != '\0') return false;
    bool opens;
    if (known_missing_) {
        opens = false;
    } else if (pid_ > 0) {
        const int status = wait_or_kill(pid_, probe_limit_ms);
        pid_ = -1;
        timed_out_ = status == child_killed;
        opens = status == 0;
    } else {
        opens = default_audio_device_opens(true);
    }
    if (opens) return false;
    ::setenv("SDL_AUDIODRIVER", "dummy", 1);
    return true;
}

game_end run_game(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::fflush(stdout);
    std::fflush(stderr);

    // Held back from the fork until the handlers know the child, so none is lost.
    sigset_t forwarded, before;
    sigemptyset(&forwarded);
    for (int s : forwarded_signals) sigaddset(&forwarded, s);
    ::sigprocmask(SIG_BLOCK, &forwarded, &before);
    struct sigaction forward {}, old[3];
    forward.sa_handler = forward_signal;
    sigemptyset(&forward.sa_mask);
    for (int i = 0; i < 3; ++i) ::sigaction(forwarded_signals[i], &forward, &old[i]);

    // A pipe closed by a successful exec tells the failure apart from the game's own status.
    int report[2];
    game_end end;
    if (::pipe2(report, O_CLOEXEC) != 0) {
        end.why_not = std::strerror(errno);
    } else {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(report[0]);
            for (int i = 0; i < 3; ++i) ::sigaction(forwarded_signals[i], &old[i], nullptr);
            ::sigprocmask(SIG_SETMASK, &before, nullptr);
            ::execvp(argv[0], argv.data());
            const int error = errno;
            ssize_t ignored = ::write(report[1], &error, sizeof error);
            (void)ignored;
            ::_exit(127);
        }
        ::close(report[1]);
        if (pid < 0) {
            end.why_not = std::strerror(errno);
        } else {
            forward_to = pid;
            ::sigprocmask(SIG_SETMASK, &before, nullptr);
            int error = 0;
            ssize_t n;
            while ((n = ::read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
            }
            // Waited for without reaping, so the handlers never signal a
            // process id that has been given to another process.
            siginfo_t info{};
            while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
            }
            ::sigprocmask(SIG_BLOCK, &forwarded, nullptr);
            forward_to = 0;
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            if (n == static_cast<ssize_t>(sizeof error)) {
                end.why_not = std::strerror(error);
            } else {
                end.started = true;
                end.signaled = WIFSIGNALED(status);
                end.status = end.signaled ? WTERMSIG(status) : WEXITSTATUS(status);
            }
        }
        ::close(report[0]);
    }
    for (int i = 0; i < 3; ++i) ::sigaction(forwarded_signals[i], &old[i], nullptr);
    ::sigprocmask(SIG_SETMASK, &before, nullptr);
    return end;
}

std::string end_problem(const game_end& end, const std::string& program, const std::string& what) {
    if (!end.started) return "cannot start the " + what + " \"" + program + "\": " + end.why_not;
    if (end.signaled)
        return "the " + what + " was ended by signal " + std::to_string(end.status) + " (" + ::strsignal(end.status) + ")";
    return {};
}

}  // namespace launching
