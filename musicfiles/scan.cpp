#include "musicfiles/scan.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "stagecache/song_hash.hpp"

namespace musicfiles {

std::size_t scan_counts::skipped_total() const {
    std::size_t total = 0;
    for (std::size_t n : skipped) total += n;
    return total;
}

namespace {

using clock = std::chrono::steady_clock;

// A new or changed file to open.
struct work_item {
    found_file file;
    const known_file* known = nullptr;  // changed: what the library had
    bool hash = false;
    // Filled in by the reading threads.
    tag_reading reading;
    bool tags_read = false;
    std::string song_hash;
    std::string hash_problem;
    bool hash_failed = false;
    std::size_t opened = 0;
    bool done = false;  // looked at before any stop
};

struct candidate {
    std::string path;
    bool claimed = false;
    bool gone_now = false;  // counted missing by this scan: not missing once it is found moved
};

class scanner {
public:
    scanner(const scan_request& request, scan_sink& sink, const scan_options& options)
        : request_(request), sink_(sink), options_(options) {}

    scan_report run();

private:
    bool stopped() const { return options_.stop != nullptr && options_.stop->load(); }
    void progress(bool force);
    void skip(const std::string& path, skip_reason reason, std::string detail = {}) {
        ++report_.counts.skipped[static_cast<std::size_t>(reason)];
        report_.skipped.push_back({path, reason, std::move(detail)});
    }
    void emit(file_update u);
    void flush();
    void walk_folders();
    void look_at_single_files();
    void classify();
    void mark_gone();
    void read_all();
    void read_one(work_item& w);
    void settle(work_item& w);
    bool in_scope(const std::string& path) const;

    const scan_request& request_;
    scan_sink& sink_;
    const scan_options& options_;
    scan_report report_;
    clock::time_point start_ = clock::now();
    clock::time_point last_progress_{};

    std::unordered_map<std::string, const known_file*> known_;
    std::vector<found_file> found_;
    std::vector<std::string> walked_;       // folders whose every file the walk saw, but...
    std::vector<std::string> unknown_;      // ...these parts of them, left as they were
    std::vector<std::string> gone_folders_; // not found or not mounted: every known file in them is missing
    std::vector<std::string> singles_;      // single files looked at
    std::vector<const known_file*> seen_known_;
    std::unordered_set<const known_file*> seen_;
    std::vector<work_item> work_;
    // Hashed files that are missing after this scan, by size then hash: a
    // new file of that size is hashed, and with the same hash is the moved one.
    std::map<std::int64_t, std::multimap<std::string, candidate>> candidates_;
    std::vector<file_update> batch_;
};

void scanner::progress(bool force) {
    if (!options_.progress) return;
    const clock::time_point now = clock::now();
    if (!force && now - last_progress_ < std::chrono::milliseconds(100)) return;
    last_progress_ = now;
    report_.counts.seconds = std::chrono::duration<double>(now - start_).count();
    options_.progress(report_.counts);
}

void scanner::emit(file_update u) {
    batch_.push_back(std::move(u));
    if (batch_.size() >= options_.batch_size) flush();
}

void scanner::flush() {
    if (batch_.empty()) return;
    sink_.write(batch_);
    batch_.clear();
}

bool scanner::in_scope(const std::string& path) const {
    for (const std::string& u : unknown_)
        if (is_under(path, u)) return false;
    for (const std::string& g : gone_folders_)
        if (is_under(path, g)) return true;
    for (const std::string& w : walked_)
        if (is_under(path, w)) return true;
    return std::find(singles_.begin(), singles_.end(), path) != singles_.end();
}

void scanner::walk_folders() {
    walk_visits visits;
    for (const known_folder& folder : request_.folders) {
        folder_outcome outcome;
        outcome.path = folder.path;
        const auto outer = std::find_if(request_.folders.begin(), request_.folders.end(), [&](const known_folder& f) {
            return f.path != folder.path && is_under(folder.path, f.path);
        });
        if (outer != request_.folders.end()) {
            outcome.state = folder_state::inside_other;
            report_.folders.push_back(outcome);
            continue;
        }
        struct stat st {};
        const bool stated = ::stat(folder.path.c_str(), &st) == 0;
        if (!stated || !S_ISDIR(st.st_mode)) {
            const int error = stated ? 0 : errno;
            const bool gone = error == ENOENT || error == ENOTDIR || error == 0;
            outcome.state = gone ? folder_state::not_found : folder_state::unreadable;
            outcome.detail = error == 0 ? "not a folder" : std::strerror(error);
            if (gone)
                gone_folders_.push_back(folder.path);
            else
                skip(folder.path, skip_reason::unreadable_folder, outcome.detail);
            report_.folders.push_back(outcome);
            continue;
        }
        const std::size_t seen_before = report_.counts.seen;
        walk_result walked = walk_folder(folder.path, visits, options_.limits, options_.stop, [&](std::size_t found) {
            report_.counts.seen = seen_before + found;
            progress(false);
        });
        report_.counts.seen = seen_before;
        if (walked.stopped) {
            report_.stopped = true;
            return;
        }
        outcome.device = st.st_dev;
        outcome.files = walked.files.size();
        // Known files, missing ones too: a folder stays "not mounted" while
        // it shows none of them.
        std::size_t had = 0;
        for (const auto& entry : known_)
            if (is_under(entry.first, folder.path)) ++had;
        std::size_t still_there = 0;
        for (const found_file& f : walked.files) still_there += known_.count(f.path);
        const bool other_device = folder.device != 0 && folder.device != static_cast<std::uint64_t>(st.st_dev);
        if (had > 0 && still_there == 0 && walked.unknown.empty() && (walked.files.empty() || other_device)) {
            // None of its files where they were, and the folder empty or
            // on another device: most likely a disk that is not mounted,
            // its mount point left on the disk below. What lies there is
            // not the player's music.
            outcome.state = folder_state::not_mounted;
            outcome.files = 0;
            gone_folders_.push_back(folder.path);
            report_.folders.push_back(outcome);
            continue;
        }
        if (std::find(walked.unknown.begin(), walked.unknown.end(), folder.path) != walked.unknown.end()) {
            outcome.state = folder_state::unreadable;
            outcome.detail = walked.skipped.empty() ? std::string() : walked.skipped.front().detail;
        } else {
            outcome.state = folder_state::scanned;
        }
        walked_.push_back(folder.path);
        for (skipped_entry& s : walked.skipped) skip(s.path, s.reason, std::move(s.detail));
        unknown_.insert(unknown_.end(), walked.unknown.begin(), walked.unknown.end());
        report_.names_not_utf8 += walked.names_not_utf8;
        report_.counts.seen += walked.files.size();
        for (found_file& f : walked.files) found_.push_back(std::move(f));
        report_.folders.push_back(outcome);
    }
}

void scanner::look_at_single_files() {
    for (const std::string& path : request_.files) {
        bool covered = false;
        for (const std::string& w : walked_) covered = covered || is_under(path, w);
        if (covered) continue;
        singles_.push_back(path);
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            if (errno != ENOENT) {
                skip(path, skip_reason::unreadable_file, std::strerror(errno));
                unknown_.push_back(path);
            }
            continue;
        }
        if (!S_ISREG(st.st_mode)) {
            skip(path, skip_reason::not_regular_file);
            continue;
        }
        ++report_.counts.seen;
        found_.push_back({path, static_cast<std::int64_t>(st.st_size),
                          static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec});
    }
}

void scanner::classify() {
    for (const found_file& f : found_) {
        const auto it = known_.find(f.path);
        if (it == known_.end()) {
            work_item w;
            w.file = f;
            work_.push_back(std::move(w));
            continue;
        }
        const known_file* k = it->second;
        seen_.insert(k);
        if (k->size == f.size && k->mtime_ns == f.mtime_ns) {
            if (k->missing) {
                file_update u;
                u.change = file_change::found_again;
                u.path = f.path;
                u.size = f.size;
                u.mtime_ns = f.mtime_ns;
                u.song_hash = k->song_hash;
                ++report_.counts.found_again;
                emit(std::move(u));
            } else {
                ++report_.counts.unchanged;
            }
            continue;
        }
        work_item w;
        w.file = f;
        w.known = k;
        w.hash = !k->song_hash.empty();
        work_.push_back(std::move(w));
    }
}

void scanner::mark_gone() {
    for (const known_file& k : request_.known) {
        if (seen_.count(&k) != 0) continue;
        const bool gone_now = !k.missing && in_scope(k.path);
        if (gone_now) {
            file_update u;
            u.change = file_change::gone;
            u.path = k.path;
            u.size = k.size;
            u.mtime_ns = k.mtime_ns;
            u.song_hash = k.song_hash;
            ++report_.counts.missing;
            emit(std::move(u));
        }
        if ((k.missing || gone_now) && !k.song_hash.empty())
            candidates_[k.size].insert({k.song_hash, candidate{k.path, false, gone_now}});
    }
    // A new file as large as a missing hashed one may be that one, moved.
    for (work_item& w : work_)
        if (w.known == nullptr && candidates_.count(w.file.size) != 0) w.hash = true;
}

void scanner::read_one(work_item& w) {
    if (w.hash) {
        stagecache::song_hash h;
        ++w.opened;
        if (stagecache::hash_file(w.file.path, h, w.hash_problem))
            w.song_hash = h.hex();
        else
            w.hash_failed = true;
        // The same bytes as a missing file: its tags are the ones the library has.
        if (!w.song_hash.empty() && w.known == nullptr) {
            const auto& by_hash = candidates_.at(w.file.size);
            if (by_hash.count(w.song_hash) != 0) {
                w.done = true;
                return;
            }
        }
    }
    ++w.opened;
    w.reading = read_tags(w.file.path);
    w.tags_read = true;
    w.done = true;
}

void scanner::settle(work_item& w) {
    report_.counts.opened += w.opened;
    if (w.hash && !w.hash_failed) ++report_.counts.hashed;
    if (w.known == nullptr && !w.song_hash.empty()) {
        auto& by_hash = candidates_.at(w.file.size);
        for (auto [it, end] = by_hash.equal_range(w.song_hash); it != end; ++it) {
            if (it->second.claimed) continue;
            it->second.claimed = true;
            if (it->second.gone_now) --report_.counts.missing;
            file_update u;
            u.change = file_change::moved;
            u.path = w.file.path;
            u.old_path = it->second.path;
            u.size = w.file.size;
            u.mtime_ns = w.file.mtime_ns;
            u.song_hash = w.song_hash;
            ++report_.counts.moved;
            emit(std::move(u));
            return;
        }
        // Its twin was claimed by an earlier copy: this one is new.
        if (!w.tags_read) {
            ++report_.counts.opened;
            w.reading = read_tags(w.file.path);
        }
    }
    if (w.reading.outcome == tag_outcome::vanished) {
        skip(w.file.path, skip_reason::vanished);
        if (w.known != nullptr && !w.known->missing) {
            file_update u;
            u.change = file_change::gone;
            u.path = w.file.path;
            u.size = w.known->size;
            u.mtime_ns = w.known->mtime_ns;
            u.song_hash = w.known->song_hash;
            ++report_.counts.missing;
            emit(std::move(u));
        }
        return;
    }
    file_update u;
    u.change = w.known == nullptr ? file_change::added : file_change::changed;
    u.path = w.file.path;
    u.size = w.file.size;
    u.mtime_ns = w.file.mtime_ns;
    u.song_hash = w.song_hash;
    u.tags = std::move(w.reading.tags);
    u.playable = w.reading.outcome != tag_outcome::unreadable;
    u.problem = std::move(w.reading.problem);
    if (!u.playable) skip(u.path, skip_reason::unreadable_file, u.problem);
    if (w.hash_failed) skip(u.path, skip_reason::unreadable_file, w.hash_problem);
    ++(w.known == nullptr ? report_.counts.added : report_.counts.changed);
    emit(std::move(u));
}

void scanner::read_all() {
    const std::size_t chunk = std::max<std::size_t>(1, options_.batch_size);
    const unsigned threads = std::max(1u, options_.threads);
    for (std::size_t begin = 0; begin < work_.size(); begin += chunk) {
        const std::size_t end = std::min(work_.size(), begin + chunk);
        std::atomic<std::size_t> next{begin};
        auto reader = [&] {
            for (std::size_t i; (i = next.fetch_add(1)) < end;) {
                if (stopped()) return;
                read_one(work_[i]);
            }
        };
        std::vector<std::thread> helpers;
        for (unsigned t = 1; t < threads && t < end - begin; ++t) helpers.emplace_back(reader);
        reader();
        for (std::thread& t : helpers) t.join();
        // In walk order, up to the first file left unread by a stop.
        for (std::size_t i = begin; i < end; ++i) {
            if (!work_[i].done) {
                report_.stopped = true;
                break;
            }
            settle(work_[i]);
            ++report_.counts.read;
            work_[i] = work_item{};
        }
        flush();
        progress(true);
        if (report_.stopped || stopped()) {
            report_.stopped = true;
            return;
        }
    }
}

scan_report scanner::run() {
    for (const known_file& k : request_.known) known_.emplace(k.path, &k);
    walk_folders();
    if (report_.stopped) {
        progress(true);
        return report_;
    }
    look_at_single_files();
    classify();
    report_.counts.to_read = work_.size();
    mark_gone();
    flush();
    progress(true);
    read_all();
    flush();
    report_.counts.seconds = std::chrono::duration<double>(clock::now() - start_).count();
    progress(true);
    return report_;
}

}  // namespace

scan_report scan(const scan_request& request, scan_sink& sink, const scan_options& options) {
    return scanner(request, sink, options).run();
}

}  // namespace musicfiles
