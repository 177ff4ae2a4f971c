#include "results/replay_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <limits>

#include "audiolayer/regular_file.hpp"
#include "vaz/files.hpp"

namespace results {

namespace {

constexpr std::uint8_t magic[8] = {'V', 'E', 'L', 'M', 'R', 'P', 'L', 'Y'};
constexpr std::size_t max_payload_size = replay_max_file_size - replay_header_size - replay_checksum_size;

void put_le(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint64_t get_le(const std::uint8_t* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

void put_leb128(std::vector<std::uint8_t>& out, std::uint32_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(value));
}

enum class leb_result { ok, cut, bad };

// Only the shortest form of a value that fits 32 bits is accepted, so each
// replay has exactly one encoding.
leb_result get_leb128(const std::uint8_t*& p, const std::uint8_t* end, std::uint32_t& value) {
    std::uint64_t v = 0;
    for (int i = 0; i < 5; ++i) {
        if (p == end) return leb_result::cut;
        const std::uint8_t b = *p++;
        v |= std::uint64_t{b & 0x7Fu} << (7 * i);
        if ((b & 0x80) == 0) {
            if (i > 0 && b == 0) return leb_result::bad;
            if (v > std::numeric_limits<std::uint32_t>::max()) return leb_result::bad;
            value = static_cast<std::uint32_t>(v);
            return leb_result::ok;
        }
    }
    return leb_result::bad;
}

replay_read_result failed(replay_status status, std::string detail = {}) { return {status, std::move(detail)}; }

std::string system_reason(int error) { return std::strerror(error); }

}  // namespace

bool append_update(replay& r, std::uint32_t keys) {
    if (r.update_count == std::numeric_limits<std::uint32_t>::max()) return false;
    if (!r.runs.empty() && r.runs.back().keys == keys) {
        ++r.runs.back().length;
    } else {
        r.runs.push_back(key_run{1, keys});
    }
    ++r.update_count;
    return true;
}

bool replay_cursor::next(std::uint32_t& keys) {
    while (run_ < replay_.runs.size() && used_ >= replay_.runs[run_].length) {
        ++run_;
        used_ = 0;
    }
    if (run_ == replay_.runs.size()) return false;
    keys = replay_.runs[run_].keys;
    ++used_;
    return true;
}

bool replay_cursor::at_end() const {
    std::size_t run = run_;
    std::uint32_t used = used_;
    while (run < replay_.runs.size() && used >= replay_.runs[run].length) {
        ++run;
        used = 0;
    }
    return run == replay_.runs.size();
}

bool cut_after_run(replay& r, std::size_t run) {
    if (run >= r.finished_runs.size() || r.finished_runs[run].end_update == 0) return false;
    const std::uint32_t keep = r.finished_runs[run].end_update;
    std::uint32_t kept = 0;
    std::size_t i = 0;
    for (; i < r.runs.size() && kept < keep; ++i) {
        if (r.runs[i].length > keep - kept) r.runs[i].length = keep - kept;
        kept += r.runs[i].length;
    }
    r.runs.resize(i);
    r.update_count = kept;
    r.finished_runs.resize(run + 1);
    return true;
}

std::string ratio_text(float ratio) {
    // The screen's conversions: 64-bit truncation, ten digits, hundredths
    // from the ratio widened to double.
    const auto whole = static_cast<std::uint32_t>(static_cast<std::int64_t>(ratio));
    const auto hundredths = static_cast<int>(static_cast<std::int64_t>(static_cast<double>(ratio) * 100.0) % 100);
    char text[32];
    std::snprintf(text, sizeof text, "%u.%02d", whole, hundredths);
    return text;
}

std::vector<std::uint8_t> encode_replay(const replay& r) {
    std::vector<std::uint8_t> payload;
    for (const key_run& run : r.runs) {
        put_leb128(payload, run.length);
        put_leb128(payload, run.keys);
    }
    std::vector<std::uint8_t> out(magic, magic + sizeof magic);
    put_le(out, r.version, 2);
    put_le(out, 0, 2);
    put_le(out, r.seed, 4);
    put_le(out, r.pattern.low, 8);
    put_le(out, r.pattern.high, 8);
    put_le(out, static_cast<std::uint32_t>(r.offset_ms), 4);
    put_le(out, r.update_count, 4);
    put_le(out, payload.size(), 4);
    out.insert(out.end(), payload.begin(), payload.end());
    if (r.version >= 2) {
        put_le(out, r.finished_runs.size(), 4);
        for (const run_summary& s : r.finished_runs) {
            put_le(out, s.start_update, 4);
            put_le(out, s.result_update, 4);
            put_le(out, s.end_update, 4);
            put_le(out, static_cast<std::uint32_t>(s.hits), 4);
            put_le(out, static_cast<std::uint32_t>(s.score), 4);
        }
    }
    put_le(out, XXH3_64bits(out.data(), out.size()), 8);
    return out;
}

namespace {

// The key data: runs of updates with the same keys, adding up to announced.
replay_read_result read_key_runs(const std::uint8_t* p, const std::uint8_t* const end, std::uint32_t announced,
                                 replay& r) {
    // Runs take at least two bytes each, so the file bounds what is allocated.
    r.runs.reserve(static_cast<std::size_t>(end - p) / 2);
    std::uint64_t total = 0;
    while (p != end) {
        key_run run{};
        const leb_result a = get_leb128(p, end, run.length);
        const leb_result b = a == leb_result::ok ? get_leb128(p, end, run.keys) : a;
        if (b == leb_result::cut) return failed(replay_status::damaged, "its key data ends inside a run");
        if (b == leb_result::bad) return failed(replay_status::damaged, "its key data holds a malformed number");
        if (run.length == 0) return failed(replay_status::damaged, "its key data holds a run of no updates");
        if (run.keys >= replay_key_word_limit) {
            return failed(replay_status::damaged, "its key data names keys this version does not record");
        }
        if (!r.runs.empty() && r.runs.back().keys == run.keys) {
            return failed(replay_status::damaged, "its key data repeats a run");
        }
        total += run.length;
        if (total > announced) break;
        r.runs.push_back(run);
    }
    if (total != announced) {
        return failed(replay_status::damaged, "its key runs do not add up to the " + std::to_string(announced) +
                                                  " updates its header announces");
    }
    return {};
}

// The finished runs' summaries, each within the session and after the last.
replay_read_result read_run_summaries(const std::uint8_t* q, std::uint64_t run_count, std::uint32_t announced,
                                      replay& r) {
    r.finished_runs.reserve(static_cast<std::size_t>(run_count));
    for (std::uint64_t i = 0; i < run_count; ++i, q += replay_run_summary_size) {
        run_summary s;
        s.start_update = static_cast<std::uint32_t>(get_le(q, 4));
        s.result_update = static_cast<std::uint32_t>(get_le(q + 4, 4));
        s.end_update = static_cast<std::uint32_t>(get_le(q + 8, 4));
        s.hits = static_cast<std::int32_t>(static_cast<std::uint32_t>(get_le(q + 12, 4)));
        s.score = static_cast<std::int32_t>(static_cast<std::uint32_t>(get_le(q + 16, 4)));
        const std::string which = "its run " + std::to_string(i + 1);
        if (!r.finished_runs.empty() && r.finished_runs.back().end_update == 0) {
            return failed(replay_status::damaged, which + " follows a run that never ended");
        }
        const std::uint32_t earliest = r.finished_runs.empty() ? 0 : r.finished_runs.back().end_update;
        if (s.start_update < earliest || s.result_update <= s.start_update ||
            (s.end_update != 0 && s.end_update < s.result_update) ||
            std::max(s.result_update, s.end_update) > announced) {
            return failed(replay_status::damaged, which + " lies outside the session's updates or before an earlier run");
        }
        r.finished_runs.push_back(s);
    }
    return {};
}

}  // namespace

replay_read_result decode_replay(const std::uint8_t* bytes, std::size_t size, replay& out) {
    if (size == 0) return failed(replay_status::empty);
    if (std::memcmp(bytes, magic, size < sizeof magic ? size : sizeof magic) != 0) {
        return failed(replay_status::foreign);
    }
    if (size < sizeof magic + 2) return failed(replay_status::truncated, "in its header");
    const auto version = static_cast<std::uint16_t>(get_le(bytes + 8, 2));
    if (version > replay_version) return failed(replay_status::newer_version, std::to_string(version));
    if (version == 0) return failed(replay_status::damaged, "its format version is 0");
    if (size < replay_header_size) return failed(replay_status::truncated, "in its header");

    const std::uint64_t payload_size = get_le(bytes + 40, 4);
    if (payload_size > max_payload_size) {
        return failed(replay_status::damaged, "its header announces " + std::to_string(payload_size) +
                                                  " bytes of key data, more than any replay holds");
    }
    // Version 2 lists the finished runs after the key data.
    std::uint64_t run_count = 0;
    std::uint64_t whole = replay_header_size + payload_size + replay_checksum_size;
    if (version >= 2) {
        const std::uint64_t count_at = replay_header_size + payload_size;
        if (size < count_at + replay_run_count_size) {
            return failed(replay_status::truncated, "it holds " + std::to_string(size) +
                                                        " bytes and ends before its list of runs");
        }
        run_count = get_le(bytes + count_at, 4);
        if (run_count * replay_run_summary_size > max_payload_size - payload_size) {
            return failed(replay_status::damaged, "it announces " + std::to_string(run_count) +
                                                      " finished runs, more than any replay holds");
        }
        whole += replay_run_count_size + run_count * replay_run_summary_size;
    }
    if (size < whole) {
        return failed(replay_status::truncated,
                      "it holds " + std::to_string(size) + " of its " + std::to_string(whole) + " bytes");
    }
    if (size > whole) {
        return failed(replay_status::damaged,
                      std::to_string(size - whole) + " bytes follow its end");
    }
    const std::size_t checked = static_cast<std::size_t>(whole - replay_checksum_size);
    const std::size_t key_end = static_cast<std::size_t>(replay_header_size + payload_size);
    if (XXH3_64bits(bytes, checked) != get_le(bytes + checked, 8)) {
        return failed(replay_status::damaged, "its checksum does not match its contents");
    }
    if (get_le(bytes + 10, 2) != 0) return failed(replay_status::damaged, "its reserved header field is not 0");

    replay r;
    r.version = version;
    r.seed = static_cast<std::uint32_t>(get_le(bytes + 12, 4));
    r.pattern.low = get_le(bytes + 16, 8);
    r.pattern.high = get_le(bytes + 24, 8);
    r.offset_ms = static_cast<std::int32_t>(static_cast<std::uint32_t>(get_le(bytes + 32, 4)));
    const auto announced = static_cast<std::uint32_t>(get_le(bytes + 36, 4));

    if (replay_read_result k = read_key_runs(bytes + replay_header_size, bytes + key_end, announced, r);
        k.status != replay_status::ok)
        return k;
    r.update_count = announced;
    if (replay_read_result f = read_run_summaries(bytes + key_end + replay_run_count_size, run_count, announced, r);
        f.status != replay_status::ok)
        return f;
    out = std::move(r);
    return {};
}

replay_read_result read_replay_file(const std::string& path, replay& out) {
    // A name of the library's that now holds a pipe or a device must not
    // hold the reader up; a folder is refused as unreadable, as ever.
    const audiolayer::regular_file file = audiolayer::open_regular_file(path.c_str());
    if (file.fd < 0) return failed(file.refused ? replay_status::read_error : replay_status::cannot_open, file.why);
    const int fd = file.fd;
    std::vector<std::uint8_t> bytes;
    replay_read_result result;
    std::uint8_t block[65536];
    for (;;) {
        const ssize_t n = ::read(fd, block, sizeof block);
        if (n < 0) {
            if (errno == EINTR) continue;
            result = failed(replay_status::read_error, system_reason(errno));
            break;
        }
        if (n == 0) break;
        if (bytes.size() + static_cast<std::size_t>(n) > replay_max_file_size) {
            result = failed(replay_status::too_large);
            break;
        }
        bytes.insert(bytes.end(), block, block + n);
    }
    ::close(fd);
    if (result.status != replay_status::ok) return result;
    return decode_replay(bytes.data(), bytes.size(), out);
}

std::string describe_replay_failure(const std::string& path, const replay_read_result& r) {
    const std::string file = "\"" + path + "\"";
    switch (r.status) {
        case replay_status::ok: return {};
        case replay_status::cannot_open: return "cannot open replay file " + file + ": " + r.detail;
        case replay_status::read_error: return "cannot read replay file " + file + ": " + r.detail;
        case replay_status::too_large:
            return "replay file " + file + " is too large to be a replay (over " +
                   std::to_string(replay_max_file_size >> 20) + " MiB)";
        case replay_status::empty: return "replay file " + file + " is empty";
        case replay_status::foreign: return file + " is not a velmora replay file";
        case replay_status::newer_version:
            return "replay file " + file + " has format version " + r.detail +
                   ", written by a newer velmora; this one reads version " + std::to_string(replay_version);
        case replay_status::truncated: return "replay file " + file + " is cut short: " + r.detail;
        case replay_status::damaged: return "replay file " + file + " is damaged: " + r.detail;
    }
    return "replay file " + file + " cannot be read";
}

namespace {

// A new file beside path, named after it; returns its descriptor or -1.
int create_beside(const std::string& path, std::vector<char>& name) {
    name.assign(path.begin(), path.end());
    const char suffix[] = ".tmp-XXXXXX";
    name.insert(name.end(), suffix, suffix + sizeof suffix);
    return ::mkstemp(name.data());
}

}  // namespace

std::string check_replay_destination(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return system_reason(EISDIR);
    std::vector<char> name;
    const int fd = create_beside(path, name);
    if (fd < 0) return system_reason(errno);
    ::close(fd);
    ::unlink(name.data());
    return {};
}

std::string write_replay_file(const std::string& path, const replay& r) {
    const std::vector<std::uint8_t> bytes = encode_replay(r);
    // A replay gets the usual permissions.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    const vaz::replace_result written =
        vaz::replace_file(path, path + ".tmp-XXXXXX", bytes.data(), bytes.size(), 0666 & ~mask);
    return written.failed_at == vaz::replace_step::done ? std::string() : system_reason(written.error);
}

}  // namespace results
