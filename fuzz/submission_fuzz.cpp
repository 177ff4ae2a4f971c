// The server's submission checks on arbitrary parts. The input is split at
// each "\n--\n" into part contents in the order of `names` below; the first
// byte says which names are left out (a bit each) and whether the replay's
// stage hash and checksum are made to fit the stage, so the fuzzer gets past
// the hash check to the deeper ones. Besides the sanitizers, an accepted
// submission must keep the checks' promises, its play among them.
// The same bytes also go through the multipart reader as a request would
// bring them: the first line is the Content-Type, the rest the body; the
// parts it reads must lie within the body and go on to the same checks.
#include <xxhash.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "alignment/alignment.hpp"
#include "converter/difficulty.hpp"
#include "converter/editions.hpp"
#include "server/multipart.hpp"
#include "server/plays.hpp"
#include "server/submission.hpp"

namespace {

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "submission: %s\n", what);
        std::abort();
    }
}

const char* const names[] = {"stage", "replay", "edition", "difficulty", "title", "length_ms", "fingerprint", "bogus"};

void put_le64(std::string& s, std::size_t at, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}

// The replay names the stage and its checksum fits its bytes again.
void make_fit(std::string& replay, const std::string& stage) {
    if (replay.size() < 44 + 8) return;
    const XXH128_hash_t h = XXH3_128bits(stage.data(), stage.size());
    put_le64(replay, 16, h.low64);
    put_le64(replay, 24, h.high64);
    put_le64(replay, replay.size() - 8, XXH3_64bits(replay.data(), replay.size() - 8));
}

void check(const std::vector<server::form_part>& parts) {
    server::limits lim;
    lim.stage_bytes = 1 << 16;
    lim.replay_bytes = 1 << 16;
    lim.session_updates = 100000;
    server::submission s;
    const auto refused = server::check_submission(parts, lim, s);
    if (refused) {
        require(refused->status >= 400 && refused->status < 500, "a refusal that is not a 4xx");
        require(!refused->code.empty() && !refused->message.empty(), "a refusal without its code or message");
        return;
    }
    require(s.stage.size() <= lim.stage_bytes && s.replay.size() <= lim.replay_bytes, "a file over its limit taken");
    require(s.updates <= lim.session_updates, "a session over its length taken");
    require(!s.runs.empty(), "a session without a finished run taken");
    require(converter::edition_from_name(s.edition) && converter::difficulty_from_name(s.difficulty), "an unknown board taken");
    const XXH128_hash_t h = XXH3_128bits(s.stage.data(), s.stage.size());
    results::replay r;
    require(results::decode_replay(reinterpret_cast<const std::uint8_t*>(s.replay.data()), s.replay.size(), r).status ==
                    results::replay_status::ok &&
                r.pattern.low == h.low64 && r.pattern.high == h.high64,
            "a replay of another stage taken");
    std::size_t count = 0;
    require(server::printable_utf8(s.title, count), "a title that is not printable text taken");
    require(s.envelope.empty() || (s.envelope.size() <= alignment::max_encoded_bytes && alignment::decode(s.envelope)),
            "an envelope not of the game's encoding taken");

    // The play: one per finished run, its changes in order, each key
    // pressed and released in turn within the run, kept and read back whole.
    require(s.play.runs.size() == s.runs.size() && s.play.hash.size() == 32, "a play not of every finished run");
    require(server::play_of(r).hash == s.play.hash, "a play that differs for the same replay");
    for (std::size_t i = 0; i < s.runs.size(); ++i) {
        const std::vector<server::key_change>& changes = s.play.runs[i].changes;
        std::uint32_t down = 0;
        for (std::size_t k = 0; k < changes.size(); ++k) {
            const server::key_change& c = changes[k];
            require(c.key < results::replay_key_count && c.update < s.runs[i].updates, "a key change outside the run");
            require(k == 0 || changes[k - 1].update <= c.update, "key changes out of order");
            require(((down >> c.key) & 1u) != c.down, "a press of a key held or a release of a key up");
            down ^= 1u << c.key;
        }
        std::vector<server::key_change> back;
        const std::string kept = server::encode_changes(changes);
        require(server::decode_changes(kept, back) && back == changes, "key changes not read back as kept");
        const server::change_matcher m(changes);
        require(m.matched(kept) == changes.size(), "a run that does not match itself");
        require(m.near_copy(kept, changes.size()) == (changes.size() >= server::near_copy_min_changes),
                "a run of enough changes not its own near copy");
    }
    // Whatever bytes are stored as changes, reading them stays in bounds.
    if (!s.play.runs.empty()) {
        const server::change_matcher m(s.play.runs[0].changes);
        require(m.matched(s.title) <= s.play.runs[0].changes.size(), "more matched than the run holds");
    }
}

// A request's Content-Type line and body through the multipart reader.
void multipart(const std::string& text) {
    const std::size_t eol = text.find("\r\n");
    if (eol == std::string::npos) return;
    const std::optional<std::string> boundary = server::multipart_boundary(std::string_view(text).substr(0, eol));
    if (!boundary) return;
    require(!boundary->empty() && boundary->size() <= 70, "a boundary out of its bounds taken");
    const std::string_view body = std::string_view(text).substr(eol + 2);
    std::vector<server::form_part> parts;
    if (!server::parse_multipart(body, *boundary, parts)) return;
    require(parts.size() <= server::most_parts, "more parts than the limit taken");
    std::size_t bytes = 0;
    for (const server::form_part& p : parts) {
        require(!p.name.empty(), "a part without a name taken");
        require(p.content.find("\r\n--" + *boundary) == std::string::npos, "a part holding the delimiter taken");
        bytes += p.content.size() + p.name.size();
    }
    require(bytes <= body.size(), "parts larger than the body");
    check(parts);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t flags = data[0];
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::vector<std::string> contents;
    for (std::size_t at = 0;;) {
        const std::size_t next = text.find("\n--\n", at);
        contents.push_back(text.substr(at, next == std::string::npos ? std::string::npos : next - at));
        if (next == std::string::npos) break;
        at = next + 4;
    }
    std::vector<server::form_part> parts;
    for (std::size_t i = 0; i < contents.size() && i < sizeof names / sizeof names[0]; ++i) {
        if (i < 7 && (flags >> i & 1)) continue;
        parts.push_back({names[i], i < 2 ? "file" : "", contents[i]});
    }
    if ((flags & 0x80) && parts.size() >= 2 && parts[0].name == "stage" && parts[1].name == "replay")
        make_fit(parts[1].content, parts[0].content);

    check(parts);
    multipart(text);
    return 0;
}
