#include "library/prepare.hpp"

#include <sndfile.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <ctime>
#include <new>
#include <optional>
#include <thread>

#include "converter/convert.hpp"
#include "converter/load_any.hpp"
#include "library/envelopes.hpp"
#include "library/fingerprint.hpp"
#include "library/submissions.hpp"
#include "musicfiles/walk.hpp"
#include "pattern/pattern_writer.hpp"
#include "vaz/files.hpp"

namespace library {
namespace {

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

// What the song library keeps about a song whose stage was already cached
// but which the library does not know (the library was removed, or another
// user's cache was copied in): the header says it without decoding.
song_row facts_from_header(const std::string& path, const stagecache::song_hash& hash) {
    song_row row;
    row.hash = hash.hex();
    row.path = path;
    SF_INFO info{};
    if (SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info)) {
        row.rate = static_cast<std::uint32_t>(info.samplerate);
        row.channels = static_cast<std::uint32_t>(info.channels);
        if (info.samplerate > 0 && info.frames > 0 && info.frames != SF_COUNT_MAX)
            row.duration = static_cast<double>(info.frames) / info.samplerate;
        sf_close(file);
    }
    return row;
}

std::int64_t modified_time(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_mtime) : std::time(nullptr);
}

}  // namespace

stagecache::stage_key stage_key_of(converter::edition ed, converter::difficulty d) {
    return {converter::edition_name(ed), converter::difficulty_name(d), converter::info_of(ed).stage_format_version};
}

std::string absolute_path(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path p = std::filesystem::absolute(path, ec);
    return ec ? path : p.lexically_normal().string();
}

// A song hash as its hex() wrote it; false for anything else.
bool parse_song_hash(const std::string& hex, stagecache::song_hash& out) {
    if (hex.size() != 32 || hex.find_first_not_of("0123456789abcdef") != std::string::npos) return false;
    out.high = std::stoull(hex.substr(0, 16), nullptr, 16);
    out.low = std::stoull(hex.substr(16), nullptr, 16);
    return true;
}

bool song_hash_of(song_library* library, const std::string& path, stagecache::song_hash& out, std::string& why) {
    const std::string file = musicfiles::normal_path(path);
    struct stat st {};
    if (library != nullptr && ::stat(file.c_str(), &st) == 0) {
        try {
            const std::int64_t mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
            if (parse_song_hash(library->hash_of_file(file, static_cast<std::int64_t>(st.st_size), mtime_ns), out)) return true;
        } catch (const library_error&) {
            // Hashed below, as for a file the library does not know.
        }
    }
    return stagecache::hash_file(path, out, why);
}

namespace {

// A stage found whole in the cache is held to the checksum the library has
// of it; one the library does not know yet is taken as it is, and from here
// on its bytes are held to its checksum. A mismatch marks the entry damaged.
void hold_to_library(const std::string& path, const stagecache::stage_key& key, song_library& library,
                     const prepare_outcome& out, stagecache::entry_check& entry) {
    const std::optional<stage_row> known = library.find_stage(out.hash.hex(), key.edition, key.difficulty);
    const bool checked = known && known->format_version == key.format_version && !known->checksum.empty();
    if (checked && known->checksum != entry.checksum) {
        entry.state = stagecache::entry_state::damaged;
        entry.problem = "\"" + out.stage_path + "\" is not the stage the song library has the checksum of (" +
                        known->checksum + ", the file's " + entry.checksum + ")";
        return;
    }
    // A stage checksummed before its hash was kept gets its hash now.
    if (checked && !known->stage_hash.empty()) return;
    std::string why;
    vaz::hash_128 stage_hash;
    if (!vaz::hash_file(out.stage_path, stage_hash, why)) return;  // taken when next found
    std::optional<song_row> facts = library.find(out.hash.hex());
    if (!facts) facts = facts_from_header(absolute_path(path), out.hash);
    stage_row stage;
    stage.edition = key.edition;
    stage.difficulty = key.difficulty;
    stage.format_version = key.format_version;
    stage.events = static_cast<std::int64_t>(entry.events);
    stage.prepared_at = known ? known->prepared_at : modified_time(out.stage_path);
    stage.checksum = entry.checksum;
    stage.stage_hash = stage_hash.hex();
    library.record_prepared(*facts, stage);
}

// A stage just made: the song's facts, the stage's checksum and the song's
// fingerprint into the library.
void record_new_stage(const std::string& path, const stagecache::stage_key& key, const converter::source_facts& facts,
                      const std::vector<std::uint8_t>& bytes, const std::string& fingerprint, song_library& library,
                      const prepare_outcome& out) {
    song_row row;
    row.hash = out.hash.hex();
    row.path = absolute_path(path);
    row.duration = facts.seconds;
    row.rate = facts.rate;
    row.channels = facts.channels;
    stage_row kept;
    kept.edition = key.edition;
    kept.difficulty = key.difficulty;
    kept.format_version = key.format_version;
    kept.events = static_cast<std::int64_t>(out.events);
    kept.prepared_at = std::time(nullptr);
    kept.checksum = stagecache::checksum_text(bytes.data(), bytes.size());
    kept.stage_hash = vaz::hash_bytes(bytes.data(), bytes.size()).hex();
    library.record_prepared(row, kept);
    if (!fingerprint.empty()) library.set_fingerprint(row.hash, fingerprint);
}

// A song decoded and converted: its facts, its stage's bytes and, when
// asked for, its fingerprint.
struct converted {
    converter::source_facts facts{};
    pattern::vector_sink stage;
    unsigned groups = 0;
    std::string fingerprint;
    alignment::envelope envelope;  // with the fingerprint
};

// "" or the failure, naming the song.
std::string convert_song(const std::string& path, converter::edition ed, converter::difficulty d, unsigned threads,
                         const std::function<void(double)>& progress, bool fingerprinted, converted& c) {
    std::string why;
    std::unique_ptr<converter::wave_sample> source;
    try {
        source = converter::load_at_converter_rate(path, &c.facts, &why);
    } catch (const std::bad_alloc&) {
        why = "not enough memory to hold it";
    }
    if (!source) return "cannot decode " + quoted(path) + ": " + why;

    // Each call is one second of one channel analysed; counting them works
    // whatever order the threads finish in.
    const std::uint64_t work =
        static_cast<std::uint64_t>(converter::group_count(*source)) * converter::whole_seconds(*source);
    std::atomic<std::uint64_t> done{0};
    const converter::progress_fn on_second = [&](unsigned, std::uint32_t, std::uint32_t) {
        const std::uint64_t n = ++done;
        if (progress && work > 0) progress(static_cast<double>(std::min(n, work)) / static_cast<double>(work));
    };
    try {
        converter::write_pattern(*source, ed, d, c.stage, on_second, threads);
    } catch (const std::bad_alloc&) {
        return "cannot convert " + quoted(path) + ": not enough memory";
    }
    c.groups = converter::group_count(*source);
    if (fingerprinted) {
        c.fingerprint = audio_fingerprint(source->data.get(), source->frame_count(), source->info.chans, source->info.freq);
        c.envelope = envelope_of_source(*source);
    }
    return {};
}

prepare_outcome prepare_or_throw(const std::string& path, converter::edition ed, converter::difficulty d, unsigned threads,
                                 const stagecache::stage_cache& cache, song_library* library,
                                 const std::function<void(double)>& progress) {
    prepare_outcome out;
    const stagecache::stage_key key = stage_key_of(ed, d);
    std::string why;
    // A song the library knows unchanged is not read for its hash: a cached
    // stage then needs no read of the song at all, a new one only its decoding.
    if (!song_hash_of(library, path, out.hash, why)) {
        out.error = "cannot read " + quoted(path) + ": " + why;
        return out;
    }
    out.stage_path = cache.entry_path(out.hash, key);

    stagecache::entry_check entry = cache.check(out.hash, key);
    if (entry.state == stagecache::entry_state::valid && library) {
        try {
            hold_to_library(path, key, *library, out, entry);
        } catch (const library_error& e) {
            out.library_problem = e.what();
        }
    }
    if (entry.state == stagecache::entry_state::valid) {
        out.status = prepare_status::cached;
        out.events = entry.events;
        return out;
    }
    if (entry.state == stagecache::entry_state::damaged) out.rebuilt_because = entry.problem;

    converted c;
    // The fingerprint only with a library to keep it in, so preparing alone costs nothing more.
    out.error = convert_song(path, ed, d, threads, progress, library != nullptr, c);
    if (!out.error.empty()) return out;

    if (!cache.store(out.hash, key, c.stage.bytes, why)) {
        out.error = "cannot keep the stage of " + quoted(path) + " in the cache: " + why;
        return out;
    }
    out.status = prepare_status::prepared;
    out.events = pattern::record_count(c.stage.bytes.size(), c.groups);
    out.seconds = c.facts.seconds;
    if (library) {
        try {
            record_new_stage(path, key, c.facts, c.stage.bytes, c.fingerprint, *library, out);
        } catch (const library_error& e) {
            out.library_problem = e.what();
        }
        // Without it the envelope is made from the file when it is first needed.
        if (!c.envelope.values.empty()) keep_envelope(out.hash.hex(), c.envelope);
    }
    return out;
}

}  // namespace

// Songs are prepared on worker threads, where an exception would end the
// whole program: whatever goes wrong is this song's failure.
prepare_outcome prepare_song(const std::string& path, converter::edition ed, converter::difficulty d, unsigned threads,
                             const stagecache::stage_cache& cache, song_library* library,
                             const std::function<void(double)>& progress) {
    prepare_outcome out;
    try {
        return prepare_or_throw(path, ed, d, threads, cache, library, progress);
    } catch (const std::bad_alloc&) {
        out.error = "cannot prepare " + quoted(path) + ": not enough memory";
    } catch (const std::exception& e) {
        out.error = "cannot prepare " + quoted(path) + ": " + e.what();
    }
    return out;
}

std::vector<prepare_outcome> prepare_songs(const std::vector<std::string>& songs, converter::edition ed,
                                           converter::difficulty d, unsigned threads,
                                           const stagecache::stage_cache& cache, song_library* library,
                                           const prepare_callbacks& callbacks) {
    std::vector<prepare_outcome> outcomes(songs.size());
    if (songs.empty()) return outcomes;
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    const unsigned workers = static_cast<unsigned>(std::min<std::size_t>(threads, songs.size()));
    const unsigned threads_per_song = std::max(1u, threads / workers);
    std::atomic<std::size_t> next{0};
    auto work = [&]() {
        for (std::size_t i; (i = next++) < songs.size();) {
            if (callbacks.started) callbacks.started(i);
            outcomes[i] = prepare_song(songs[i], ed, d, threads_per_song, cache, library, [&](double f) {
                if (callbacks.advanced) callbacks.advanced(i, f);
            });
            if (callbacks.finished) callbacks.finished(i, outcomes[i]);
        }
    };
    std::vector<std::thread> pool;
    for (unsigned w = 1; w < workers; ++w) pool.emplace_back(work);
    work();
    for (std::thread& t : pool) t.join();
    return outcomes;
}

}  // namespace library
