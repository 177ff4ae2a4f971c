#pragma once
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

// Files that are read whole (sound files, songs hashed, replays) are only
// read when they are regular files: a named pipe holds an open or a read up
// for as long as nobody writes to it, and a device such as /dev/zero never
// ends. Header only, so the stores above the audio layer share the rule
// without linking it.
namespace audiolayer {

// Why a file of this type (st_mode) is not read: "not a regular file (a
// named pipe)" and the like, the system's reason for a folder, empty for a
// regular file.
inline std::string not_a_regular_file(unsigned mode) {
    if (S_ISREG(mode)) return {};
    if (S_ISDIR(mode)) return std::strerror(EISDIR);
    const char* kind = S_ISFIFO(mode)   ? "a named pipe"
                       : S_ISCHR(mode)  ? "a character device"
                       : S_ISBLK(mode)  ? "a block device"
                       : S_ISSOCK(mode) ? "a socket"
                                        : "of another kind";
    return std::string("not a regular file (") + kind + ")";
}

struct regular_file {
    int fd = -1;           // open for reading, close-on-exec; -1 on failure
    bool refused = false;  // on failure: the file is there but is no regular file
    std::string why;       // on failure: the reason, without the file's name
    off_t size = 0;
};

// The type is looked at before the open, which would wait on a pipe, and
// again on the descriptor, as the name may have been replaced meanwhile.
inline regular_file open_regular_file(const char* path) {
    regular_file r;
    struct stat st {};
    if (::stat(path, &st) != 0) {
        r.why = std::strerror(errno);
        return r;
    }
    r.why = not_a_regular_file(st.st_mode);
    r.refused = !r.why.empty();
    if (r.refused) return r;
    r.fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (r.fd < 0) {
        r.why = std::strerror(errno);
        return r;
    }
    if (::fstat(r.fd, &st) != 0) {
        r.why = std::strerror(errno);
    } else {
        r.why = not_a_regular_file(st.st_mode);
        r.refused = !r.why.empty();
    }
    if (!r.why.empty()) {
        ::close(r.fd);
        r.fd = -1;
        return r;
    }
    r.size = st.st_size;
    return r;
}

}  // namespace audiolayer
