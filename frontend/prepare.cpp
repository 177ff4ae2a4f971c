#include "frontend/prepare.hpp"

#include <sndfile.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <ctime>
#include <new>
#include <optional>

#include "converter/convert.hpp"
#include "converter/load_any.hpp"
#include "frontend/options.hpp"
#include "pattern/pattern_writer.hpp"

namespace frontend {
namespace {

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

// What the song library keeps about a song whose stage was already cached
// but which the library does not know (the library was removed, or another
// user's cache was copied in): the header says it without decoding.
stagecache::song_row facts_from_header(const std::string& path, const stagecache::song_hash& hash) {
    stagecache::song_row row;
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

std::string absolute_path(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path p = std::filesystem::absolute(path, ec);
    return ec ? path : p.lexically_normal().string();
}

namespace {

prepare_outcome prepare_or_throw(const std::string& path, converter::edition ed, unsigned threads,
                                 const stagecache::stage_cache& cache, stagecache::song_library* library,
                                 const std::function<void(double)>& progress) {
    prepare_outcome out;
    const char* edition = edition_name(ed);
    std::string why;
    if (!stagecache::hash_file(path, out.hash, why)) {
        out.error = "cannot read " + quoted(path) + ": " + why;
        return out;
    }
    out.stage_path = cache.entry_path(out.hash, edition);

    const stagecache::entry_check entry = cache.check(out.hash, edition);
    if (entry.state == stagecache::entry_state::valid) {
        out.status = prepare_status::cached;
        out.events = entry.events;
        if (library) {
            try {
                const std::optional<stagecache::song_row> known = library->find(out.hash.hex());
                const std::int64_t known_events =
                    !known ? -1 : ed == converter::edition::zetaflux ? known->events_zetaflux : known->events_standard;
                if (known_events < 0) {
                    library->record_prepared(facts_from_header(absolute_path(path), out.hash), edition,
                                             static_cast<std::int64_t>(entry.events), modified_time(out.stage_path));
                }
            } catch (const stagecache::library_error& e) {
                out.library_problem = e.what();
            }
        }
        return out;
    }
    if (entry.state == stagecache::entry_state::damaged) out.rebuilt_because = entry.problem;

    converter::source_facts facts{};
    std::unique_ptr<converter::wave_sample> source;
    try {
        source = converter::load_at_converter_rate(path, &facts, &why);
    } catch (const std::bad_alloc&) {
        why = "not enough memory to hold it";
    }
    if (!source) {
        out.error = "cannot decode " + quoted(path) + ": " + why;
        return out;
    }

    // Each call is one second of one channel analysed; counting them works
    // whatever order the threads finish in.
    const std::uint64_t work =
        static_cast<std::uint64_t>(converter::group_count(*source)) * converter::whole_seconds(*source);
    std::atomic<std::uint64_t> done{0};
    const converter::progress_fn on_second = [&](unsigned, std::uint32_t, std::uint32_t) {
        const std::uint64_t n = ++done;
        if (progress && work > 0) progress(static_cast<double>(std::min(n, work)) / static_cast<double>(work));
    };
    pattern::vector_sink stage;
    try {
        converter::write_pattern(*source, ed, stage, on_second, threads);
    } catch (const std::bad_alloc&) {
        out.error = "cannot convert " + quoted(path) + ": not enough memory";
        return out;
    }
    const unsigned groups = converter::group_count(*source);
    source.reset();

    if (!cache.store(out.hash, edition, stage.bytes, why)) {
        out.error = "cannot keep the stage of " + quoted(path) + " in the cache: " + why;
        return out;
    }
    out.status = prepare_status::prepared;
    out.events = pattern::record_count(stage.bytes.size(), groups);
    out.seconds = facts.seconds;
    if (library) {
        stagecache::song_row row;
        row.hash = out.hash.hex();
        row.path = absolute_path(path);
        row.duration = facts.seconds;
        row.rate = facts.rate;
        row.channels = facts.channels;
        try {
            library->record_prepared(row, edition, static_cast<std::int64_t>(out.events), std::time(nullptr));
        } catch (const stagecache::library_error& e) {
            out.library_problem = e.what();
        }
    }
    return out;
}

}  // namespace

// Songs are prepared on worker threads, where an exception would end the
// whole program: whatever goes wrong is this song's failure.
prepare_outcome prepare_song(const std::string& path, converter::edition ed, unsigned threads,
                             const stagecache::stage_cache& cache, stagecache::song_library* library,
                             const std::function<void(double)>& progress) {
    prepare_outcome out;
    try {
        return prepare_or_throw(path, ed, threads, cache, library, progress);
    } catch (const std::bad_alloc&) {
        out.error = "cannot prepare " + quoted(path) + ": not enough memory";
    } catch (const std::exception& e) {
        out.error = "cannot prepare " + quoted(path) + ": " + e.what();
    }
    return out;
}

}  // namespace frontend
