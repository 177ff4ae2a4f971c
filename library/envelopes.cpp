#include "library/envelopes.hpp"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "converter/load_any.hpp"
#include "library/fingerprint.hpp"
#include "library/prepare.hpp"
#include "stagecache/stage_cache.hpp"
#include "userfiles/user_dirs.hpp"
#include "vaz/files.hpp"

namespace library {
namespace {

// A whole file of at most `most` bytes; false otherwise.
bool read_small_file(const std::string& path, std::size_t most, std::string& bytes) {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec || size > most) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return bytes.size() == size;
}

}  // namespace

std::string envelope_path(const std::string& song_hash) {
    const std::string dir = userfiles::cache_dir();
    return dir.empty() ? std::string() : dir + "/envelopes/" + song_hash + ".env";
}

alignment::envelope envelope_of_source(const converter::wave_sample& source) {
    if (!source.data) return {};
    return alignment::make_envelope(source.data.get(), source.frame_count(), static_cast<int>(source.info.chans),
                                    static_cast<int>(source.info.freq));
}

std::string keep_envelope(const std::string& song_hash, const alignment::envelope& e) {
    const std::string path = envelope_path(song_hash);
    if (path.empty()) return "no home folder to keep the envelope in";
    std::string why;
    const std::string dir = path.substr(0, path.rfind('/'));
    if (!userfiles::make_dirs(dir, why)) return "cannot make \"" + dir + "\": " + why;
    const std::string bytes = alignment::encode(e);
    const vaz::replace_result r = vaz::replace_file(path, path + ".XXXXXX",
                                                    reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), 0644);
    if (r.failed_at != vaz::replace_step::done) return "cannot write \"" + path + "\"";
    return {};
}

std::optional<alignment::envelope> own_envelope(const std::string& song_hash, const std::string& song_path,
                                                std::string& why) {
    if (const std::string path = envelope_path(song_hash); !path.empty()) {
        // Anything longer than an envelope is not one: it is not read.
        std::string bytes;
        // One kept before levels were (and long enough to have them) is made
        // again: without them another mix would pass for a copy.
        if (read_small_file(path, alignment::max_encoded_bytes, bytes))
            if (std::optional<alignment::envelope> kept = alignment::decode(bytes))
                if (!kept->levels.empty() || kept->values.size() < static_cast<std::size_t>(alignment::level_hops))
                    return kept;
    }
    std::optional<alignment::envelope> made = alignment::envelope_of_file(song_path, why);
    // Not kept, it is made again next time: the song still plays.
    if (made) keep_envelope(song_hash, *made);
    return made;
}

std::optional<decoded_song> decode_for_recording(const std::string& path, std::string& why) {
    converter::source_facts facts{};
    decoded_song d;
    d.source = converter::load_at_converter_rate(path, &facts, &why);
    if (!d.source) return std::nullopt;
    d.fingerprint = audio_fingerprint(d.source->data.get(), d.source->frame_count(), d.source->info.chans,
                                      d.source->info.freq);
    return d;
}

std::string fingerprint_from_file(song_library& songs, const std::string& song_hash, const std::string& song_path,
                                  std::string& why) {
    const std::optional<decoded_song> d = decode_for_recording(song_path, why);
    if (!d) return {};
    if (d->fingerprint.empty()) {
        why = "the song is too short to tell its recording";
        return {};
    }
    songs.set_fingerprint(song_hash, d->fingerprint);
    keep_envelope(song_hash, envelope_of_source(*d->source));
    return d->fingerprint;
}

std::string envelope_for_upload(const std::string& song_hash, stage_choice choice, const std::string& stage_bytes) {
    stagecache::song_hash hash;
    const std::string cache = userfiles::cache_dir();
    if (cache.empty() || !parse_song_hash(song_hash, hash)) return {};
    const std::string own =
        stagecache::stage_cache(cache).entry_path(hash, stage_key_of(choice.edition, choice.difficulty));
    vaz::hash_128 own_hash;
    std::string why, bytes;
    if (!vaz::hash_file(own, own_hash, why) ||
        vaz::hash_bytes(stage_bytes.data(), stage_bytes.size()) != own_hash)
        return {};
    if (!read_small_file(envelope_path(song_hash), alignment::max_encoded_bytes, bytes) || !alignment::decode(bytes))
        return {};
    return bytes;
}

}  // namespace library
