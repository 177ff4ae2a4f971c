#include "converter/output_file.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "pattern/pattern_loader.hpp"

namespace converter {

namespace {

// A file may be replaced only when it is empty or a pattern file the game
// would load: with the arguments guessed wrong (velmora_bc a.mp3 b.mp3) the
// output is the user's other music, not an earlier stage.
bool holds_other_data(const std::string& path, const struct stat& st) {
    if (!S_ISREG(st.st_mode) || st.st_size == 0) return false;
    // Read through, not kept: an earlier stage may be megabytes.
    return check_pattern_file(path.c_str()).status != pattern_load_status::loaded;
}

// The temporary file being written, for a signal that ends the program
// (Ctrl-C, a hang-up, a kill, the file size limit): the handler removes it,
// so an interrupted conversion leaves no half-written file beside the output,
// then lets the signal end the program as it would have.
char pending_temporary[PATH_MAX];
volatile std::sig_atomic_t temporary_pending = 0;
constexpr int ending_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGXFSZ};

extern "C" void remove_temporary_and_end(int signal_number) {
    if (temporary_pending) ::unlink(pending_temporary);
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

void watch_ending_signals() {
    static bool watching = false;
    if (watching) return;
    watching = true;
    for (int s : ending_signals) {
        struct sigaction old {};
        // A signal the caller chose to ignore (nohup, a shell's background
        // job) or to handle stays as it was.
        if (::sigaction(s, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
        struct sigaction act {};
        act.sa_handler = remove_temporary_and_end;
        sigemptyset(&act.sa_mask);
        for (int other : ending_signals) sigaddset(&act.sa_mask, other);
        ::sigaction(s, &act, nullptr);
    }
}

// One temporary is watched at a time: the program's own output.
bool watch_temporary(const std::string& name) {
    if (temporary_pending || name.size() >= sizeof pending_temporary) return false;
    std::memcpy(pending_temporary, name.c_str(), name.size() + 1);
    watch_ending_signals();
    temporary_pending = 1;
    return true;
}

void stop_watching_temporary() { temporary_pending = 0; }

}  // namespace

bool same_file(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

output_file::output_file(const std::string& path) : path_(path) {
    // An empty name would only fail at the final rename, after the work.
    if (path.empty()) return;
    // Writing through a link must replace the file it points to, not the link.
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* resolved = realpath(path.c_str(), nullptr)) {
            path_ = resolved;
            std::free(resolved);
        }
    }

    mode_t mode;
    if (stat(path_.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode) || access(path_.c_str(), W_OK) != 0 || holds_other_data(path_, st)) return;
        if (!S_ISREG(st.st_mode)) {
            // A device or a pipe (/dev/stdout, a FIFO) is written in place;
            // renaming a file over it would replace the node itself.
            file_ = std::fopen(path_.c_str(), "wb");
            return;
        }
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }

    std::vector<char> name(path_.begin(), path_.end());
    for (char c : std::string(".XXXXXX")) name.push_back(c);
    name.push_back('\0');
    // An ending signal between making the file and watching it would leave
    // it behind: such signals wait until it is watched.
    sigset_t ending, before;
    sigemptyset(&ending);
    for (int s : ending_signals) sigaddset(&ending, s);
    pthread_sigmask(SIG_BLOCK, &ending, &before);
    const int fd = mkstemp(name.data());
    if (fd >= 0) {
        temporary_ = name.data();
        watching_ = watch_temporary(temporary_);
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (fd < 0) return;
    file_ = fdopen(fd, "wb");
    if (file_ == nullptr || fchmod(fd, mode) != 0) {
        if (file_ == nullptr) close(fd);
        discard();
    }
}

output_file::~output_file() { discard(); }

void output_file::discard() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    if (!temporary_.empty()) std::remove(temporary_.c_str());
    temporary_.clear();
    if (watching_) stop_watching_temporary();
    watching_ = false;
}

void output_file::put(const std::uint8_t* bytes, std::size_t count) {
    if (file_ == nullptr || write_failed_) return;
    if (std::fwrite(bytes, 1, count, file_) != count) write_failed_ = true;
}

bool output_file::commit() {
    if (file_ == nullptr) return false;
    if (temporary_.empty()) {
        const bool ok = !write_failed_ && std::fflush(file_) == 0;
        const bool closed = std::fclose(file_) == 0;
        file_ = nullptr;
        return ok && closed;
    }
    bool ok = !write_failed_ && std::fflush(file_) == 0 && fsync(fileno(file_)) == 0;
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    ok = ok && std::rename(temporary_.c_str(), path_.c_str()) == 0;
    if (watching_) stop_watching_temporary();
    watching_ = false;
    if (ok) temporary_.clear();
    discard();
    return ok;
}

}  // namespace converter
