#include "server/submission.hpp"

#include <set>
#include <sstream>

#include "converter/difficulty.hpp"
#include "converter/editions.hpp"
#include "pattern/pattern_loader.hpp"

namespace server {
namespace {

refusal refuse(int status, const char* code, std::string message) { return {status, code, std::move(message)}; }

const form_part* find_part(const std::vector<form_part>& parts, const char* name) {
    for (const form_part& p : parts)
        if (p.name == name) return &p;
    return nullptr;
}

const char* replay_status_text(results::replay_status s) {
    switch (s) {
        case results::replay_status::ok: return "ok";
        case results::replay_status::cannot_open: return "cannot be opened";
        case results::replay_status::read_error: return "cannot be read";
        case results::replay_status::too_large: return "is too large";
        case results::replay_status::empty: return "is empty";
        case results::replay_status::foreign: return "is not a replay file";
        case results::replay_status::newer_version: return "is of a newer version";
        case results::replay_status::truncated: return "is cut short";
        case results::replay_status::damaged: return "is damaged";
    }
    return "is not readable";
}

const char* pattern_status_text(pattern_load_status s) {
    switch (s) {
        case pattern_load_status::loaded: return "loaded";
        case pattern_load_status::cannot_open: return "cannot be opened";
        case pattern_load_status::read_error: return "cannot be read";
        case pattern_load_status::empty: return "is empty";
        case pattern_load_status::bad_group_count: return "does not start with a group count of 1 or 2";
        case pattern_load_status::cut_in_record: return "ends inside a record";
        case pattern_load_status::missing_terminator: return "ends before a group's terminator";
    }
    return "is not readable";
}

std::optional<refusal> check_text(const form_part* p, std::size_t max_bytes, std::string& out) {
    if (!p) return std::nullopt;
    std::size_t count = 0;
    if (p->content.size() > max_bytes)
        return refuse(422, "invalid_field", "\"" + p->name + "\" is longer than " + std::to_string(max_bytes) + " bytes");
    if (!printable_utf8(p->content, count))
        return refuse(422, "invalid_field", "\"" + p->name + "\" is not printable UTF-8 text");
    out = p->content;
    return std::nullopt;
}

}  // namespace

bool printable_utf8(const std::string& text, std::size_t& count) {
    count = 0;
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++count) {
        const unsigned char c = s[i];
        std::uint32_t cp = 0;
        std::size_t len = 0;
        if (c < 0x80) { cp = c; len = 1; }
        else if (c >= 0xC2 && c <= 0xDF) { cp = c & 0x1Fu; len = 2; }
        else if (c >= 0xE0 && c <= 0xEF) { cp = c & 0x0Fu; len = 3; }
        else if (c >= 0xF0 && c <= 0xF4) { cp = c & 0x07u; len = 4; }
        else return false;
        if (i + len > n) return false;
        for (std::size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + k] & 0x3Fu);
        }
        // Overlong forms, surrogates and code points past U+10FFFF.
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0)) return false;
        i += len;
    }
    return true;
}

namespace {

// Every part known and given once, the four needed ones there.
std::optional<refusal> check_parts(const std::vector<form_part>& parts) {
    static const std::set<std::string> known = {"stage",  "replay",    "edition",  "difficulty", "title",
                                                "artist", "album",     "length_ms", "fingerprint", "envelope"};
    std::set<std::string> seen;
    for (const form_part& p : parts) {
        if (!known.count(p.name)) return refuse(400, "unknown_part", "unknown part \"" + p.name.substr(0, 64) + "\"");
        if (!seen.insert(p.name).second) return refuse(400, "duplicate_part", "part \"" + p.name + "\" given twice");
    }
    for (const char* name : {"stage", "replay", "edition", "difficulty"})
        if (!find_part(parts, name)) return refuse(400, "missing_part", std::string("the part \"") + name + "\" is missing");
    return std::nullopt;
}

// The stage loads as the game loads it; its events counted.
std::optional<refusal> check_stage(const std::string& bytes, submission& out) {
    std::istringstream in(bytes);
    pattern_group groups[pattern::max_groups];
    signed char group_count = 0;
    const pattern_load_result r = load_pattern(in, groups, group_count);
    if (r.status != pattern_load_status::loaded)
        return refuse(422, "invalid_stage", std::string("the stage ") + pattern_status_text(r.status));
    out.events = 0;
    for (int g = 0; g < group_count; ++g) out.events += static_cast<std::int64_t>(groups[g].size());
    return std::nullopt;
}

// The replay is whole, within the limits, played on the stage sent; its
// finished runs become the claims the re-play must reach.
std::optional<refusal> check_replay(const std::string& bytes, const limits& lim, submission& out) {
    results::replay rp;
    const auto* rbytes = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const results::replay_read_result rr = results::decode_replay(rbytes, bytes.size(), rp);
    if (rr.status != results::replay_status::ok)
        return refuse(422, "invalid_replay",
                      std::string("the replay ") + replay_status_text(rr.status) + (rr.detail.empty() ? "" : ": " + rr.detail));
    if (rp.version < 2) return refuse(422, "invalid_replay", "the replay is of version 1, which holds no run results");
    if (rp.update_count > lim.session_updates)
        return refuse(422, "session_too_long", "the session holds " + std::to_string(rp.update_count) +
                                                   " updates, more than the " + std::to_string(lim.session_updates) + " taken");
    if (rp.finished_runs.empty()) return refuse(422, "no_finished_run", "the replay holds no finished run");
    if (rp.pattern.hex() != out.stage_hash)
        return refuse(422, "stage_mismatch", "the replay names the stage " + rp.pattern.hex() + ", not the one sent (" +
                                                 out.stage_hash + ")");
    out.replay_hash = vaz::hash_bytes(bytes.data(), bytes.size()).hex();
    out.updates = rp.update_count;
    out.runs.clear();
    out.play = play_of(rp);
    std::int32_t number = 0;
    for (const results::run_summary& s : rp.finished_runs) {
        claimed_run c;
        c.run = ++number;
        c.hits = s.hits;
        c.score = s.score;
        c.ratio = results::shown_ratio(s.hits, s.score);
        c.updates = results::frames_played(s);
        out.runs.push_back(c);
    }
    return std::nullopt;
}

// The song's tags, fingerprint and length, each optional and bounded.
std::optional<refusal> check_song_facts(const std::vector<form_part>& parts, const limits& lim, submission& out) {
    if (auto r = check_text(find_part(parts, "title"), lim.text_bytes, out.title)) return r;
    if (auto r = check_text(find_part(parts, "artist"), lim.text_bytes, out.artist)) return r;
    if (auto r = check_text(find_part(parts, "album"), lim.text_bytes, out.album)) return r;
    if (auto r = check_text(find_part(parts, "fingerprint"), lim.fingerprint_bytes, out.fingerprint)) return r;
    out.length_ms.reset();
    if (const form_part* p = find_part(parts, "length_ms")) {
        const std::string& t = p->content;
        std::int64_t v = 0;
        bool ok = !t.empty() && t.size() <= 12;
        for (std::size_t i = 0; ok && i < t.size(); ++i) {
            if (t[i] < '0' || t[i] > '9') ok = false;
            else v = v * 10 + (t[i] - '0');
        }
        if (!ok || v < 1 || v > lim.length_ms)
            return refuse(422, "invalid_field", "\"length_ms\" must be a whole number of milliseconds from 1 to " +
                                                    std::to_string(lim.length_ms));
        out.length_ms = v;
    }
    return std::nullopt;
}

}  // namespace

std::optional<refusal> check_submission(const std::vector<form_part>& parts, const limits& lim, submission& out) {
    if (auto r = check_parts(parts)) return r;
    const form_part* stage = find_part(parts, "stage");
    const form_part* replay = find_part(parts, "replay");
    const form_part* edition = find_part(parts, "edition");
    const form_part* difficulty = find_part(parts, "difficulty");

    if (!converter::edition_from_name(edition->content))
        return refuse(422, "unknown_edition", "the edition must be " + converter::edition_names());
    if (!converter::difficulty_from_name(difficulty->content))
        return refuse(422, "unknown_difficulty", "the difficulty must be easy, normal or hard");
    out.edition = edition->content;
    out.difficulty = difficulty->content;

    if (stage->content.size() > lim.stage_bytes)
        return refuse(413, "stage_too_large", "the stage is larger than " + std::to_string(lim.stage_bytes) + " bytes");
    if (replay->content.size() > lim.replay_bytes)
        return refuse(413, "replay_too_large", "the replay is larger than " + std::to_string(lim.replay_bytes) + " bytes");
    if (auto r = check_stage(stage->content, out)) return r;
    out.stage_hash = vaz::hash_bytes(stage->content.data(), stage->content.size()).hex();
    if (auto r = check_replay(replay->content, lim, out)) return r;
    if (auto r = check_song_facts(parts, lim, out)) return r;
    out.envelope.clear();
    if (const form_part* e = find_part(parts, "envelope")) {
        if (e->content.size() > alignment::max_encoded_bytes)
            return refuse(400, "bad_envelope",
                          "the envelope is larger than " + std::to_string(alignment::max_encoded_bytes) + " bytes");
        if (!alignment::decode(e->content)) return refuse(400, "bad_envelope", "the envelope is not one the game encodes");
        out.envelope = e->content;
    }
    out.stage = stage->content;
    out.replay = replay->content;
    return std::nullopt;
}

}  // namespace server
