#include "online/sender.hpp"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <iterator>

#include "library/envelopes.hpp"
#include "vaz/files.hpp"

namespace online {
namespace {

bool read_bytes(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

library::submission_state state_of(const std::string& status) {
    if (status == "verified") return library::submission_state::verified;
    if (status == "rejected") return library::submission_state::rejected;
    return library::submission_state::pending;
}

}  // namespace

send_report send_queue(library::song_library& library, const account& a, std::int64_t now, bool all,
                       const limits& l, const std::atomic<bool>* stop) {
    send_report report;
    const client c(a.server, a.token, l);
    const std::string outbox = library::outbox_dir();
    bool offline = false;
    for (const library::submission& s : library::submissions_to_send(library, a.server, now, !all)) {
        if (stop && stop->load()) break;
        if (offline) {
            ++report.waiting;
            continue;
        }
        session_upload up;
        up.edition = s.edition;
        up.difficulty = s.difficulty;
        if (outbox.empty() || !vaz::plain_file_name(s.stage_file) || !vaz::plain_file_name(s.replay_file) ||
            !read_bytes(outbox + "/" + s.stage_file, up.stage) || !read_bytes(outbox + "/" + s.replay_file, up.replay)) {
            // Nothing to send can come back: said once, and kept as a verdict.
            library::mark_sent(library, s, 0, library::submission_state::rejected,
                               "its copies in the outbox folder are gone; it was never sent");
            report.problems.push_back("session " + s.session + ": its copies in the outbox folder are gone");
            continue;
        }
        const library::upload_facts facts = library.facts_for_upload(s.song_hash);
        up.length_ms = facts.length_ms;
        up.fingerprint = facts.fingerprint;
        up.title = facts.title;
        up.artist = facts.artist;
        up.album = facts.album;
        // The file's envelope goes with its own stage, so others' copies can be aligned to it.
        if (const auto choice = library::stage_choice::from_names(s.edition, s.difficulty))
            up.envelope = library::envelope_for_upload(s.song_hash, *choice, up.stage);
        const sent_session r = c.submit(up);
        if (r.how.ok) {
            library::mark_sent(library, s, r.session, state_of(r.status), r.reason);
            ++report.sent;
        } else if (r.how.retry) {
            const std::int64_t wait = std::max<std::int64_t>(library::retry_delay(s.attempts), r.how.retry_after);
            library::mark_retry(library, s, now + wait, r.how.message);
            ++report.waiting;
            // No answer at all: the rest would only wait for the same time-out.
            if (r.how.status == 0) offline = true;
            if (report.problems.empty()) report.problems.push_back(r.how.message);
        } else {
            library::mark_sent(library, s, 0, library::submission_state::rejected, r.how.message);
            report.problems.push_back("session " + s.session + ": " + r.how.message);
        }
    }
    if (offline) return report;
    for (const library::submission& s : library::submissions_pending(library, a.server)) {
        if (stop && stop->load()) break;
        const sent_session r = c.session(s.server_session);
        if (!r.how.ok) {
            if (r.how.status == 0) break;
            continue;
        }
        if (r.status == "verified" || r.status == "rejected") {
            library::mark_state(library, s.session, state_of(r.status), r.reason);
            ++report.answered;
        } else if (r.status == "unverified") {
            // Sent again, the server tries its re-play anew.
            if (!library::mark_resend(library, s, now + library::retry_delay(s.attempts), r.reason))
                library::mark_state(library, s.session, library::submission_state::rejected,
                                    "the server could not verify it (" + r.reason + ") and its copies are gone");
            ++report.answered;
        }
    }
    return report;
}

background_sender::background_sender(library::song_library& library, account a, int period_s)
    : library_(library), account_(std::move(a)), period_s_(period_s), thread_([this] { run(); }) {}

background_sender::~background_sender() {
    {
        std::lock_guard<std::mutex> g(lock_);
        stop_ = true;
    }
    woken_.notify_all();
    thread_.join();
}

void background_sender::wake() {
    {
        std::lock_guard<std::mutex> g(lock_);
        wake_ = true;
    }
    woken_.notify_all();
}

void background_sender::run() {
    // Short waits so a screen that ends is not held by a server that stalls.
    limits l;
    l.answer_ms = 5000;
    l.connect_ms = 2000;
    // Passes in a row that found sessions still pending: the server is slow
    // to verify, so it is asked less and less often, down to every period.
    int still_pending = 0;
    while (!stop_) {
        {
            std::unique_lock<std::mutex> g(lock_);
            woken_.wait_for(g, std::chrono::seconds(period_s_), [this] { return wake_ || stop_.load(); });
            wake_ = false;
        }
        if (stop_) break;
        try {
            const send_report r = send_queue(library_, account_, std::time(nullptr), false, l, &stop_);
            if (r.sent + r.answered > 0) {
                ++changes_;
                still_pending = 0;
            }
            const bool pending = !library::submissions_pending(library_, account_.server).empty();
            if (r.sent > 0 || (pending && still_pending < 40)) {
                // A verdict usually follows within a second of a submission.
                const auto wait = std::chrono::milliseconds(r.sent > 0 ? 300 : 250 + 50 * still_pending);
                ++still_pending;
                std::unique_lock<std::mutex> g(lock_);
                woken_.wait_for(g, wait, [this] { return stop_.load(); });
                wake_ = true;
            }
        } catch (const std::exception&) {
            // The library busy or gone: the next pass tries again.
        }
    }
}

}  // namespace online
