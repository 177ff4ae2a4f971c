// The server's parts that need no database: the verdict on a re-play's
// answer, tokens and rate limits.
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>

#include "server/rate_limit.hpp"
#include "server/tokens.hpp"
#include "server/verifier.hpp"

namespace {

using server::verdict;

server::session_files claim() {
    server::session_files s;
    s.stage_hash = std::string(32, 'a');
    s.claimed = {{1, 2, 600, 20.0, 3000}, {2, 0, 45, 45.0, 1200}};
    return s;
}

std::string answer(const std::string& runs, const std::string& stage = std::string(32, 'a'), bool verified = true) {
    return std::string("{\"verified\": ") + (verified ? "true" : "false") + ", \"reason\": \"r\", \"stage\": \"" + stage +
           "\", \"updates\": 9000, \"runs\": [" + runs + "]}";
}

const std::string run1 = R"({"run": 1, "hits": 2, "score": 600, "ratio": 20.0, "updates": 3000})";
const std::string run2 = R"({"run": 2, "hits": 0, "score": 45, "ratio": 45.0, "updates": 1200})";

TEST(Verdict, OnlyAnExactRePlayVerifiesAndFaultsAreNeverJudged) {
    using server::child_end;
    const child_end exited{0}, refused{1};
    struct row {
        const char* what;
        child_end end;
        std::string output;
        verdict::kind expected;
        std::string reason;  // when not empty, the whole reason
    };
    const std::vector<row> rows = {
        {"every run as claimed", exited, answer(run1 + "," + run2), verdict::kind::verified, ""},
        {"a score one off", exited, answer(run1 + "," + R"({"run": 2, "hits": 0, "score": 46, "updates": 1200})"), verdict::kind::rejected, ""},
        {"a hit more", exited, answer(R"({"run": 1, "hits": 3, "score": 600, "updates": 3000})" "," + run2), verdict::kind::rejected, ""},
        {"other updates", exited, answer(run1 + "," + R"({"run": 2, "hits": 0, "score": 45, "updates": 1201})"), verdict::kind::rejected, ""},
        {"a run missing", exited, answer(run1), verdict::kind::rejected, ""},
        {"another stage", exited, answer(run1 + "," + run2, std::string(32, 'b')), verdict::kind::rejected, ""},
        {"refused by the re-play", refused, answer(run1 + "," + run2, std::string(32, 'a'), false), verdict::kind::rejected, "r"},
        {"verified false with status 0", exited, answer(run1 + "," + run2, std::string(32, 'a'), false), verdict::kind::rejected, ""},
        {"not JSON", exited, "verified!", verdict::kind::rejected, ""},
        {"failed without an answer", {1}, "==123==ERROR: AddressSanitizer", verdict::kind::fault,
         "the re-play ended with status 1 without a verdict"},
        {"runs not a list", exited, R"({"verified": true, "stage": "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "runs": 5})", verdict::kind::rejected, ""},
        {"CPU limit", {-1, SIGXCPU}, "", verdict::kind::rejected, "the re-play ran past its CPU-time limit"},
        {"hard CPU limit", {-1, SIGKILL, false, true}, "", verdict::kind::rejected, "the re-play ran past its CPU-time limit"},
        {"wall-clock limit", {-1, SIGKILL, true}, "", verdict::kind::rejected, "the re-play ran past its time limit"},
        {"killed from outside", {-1, SIGKILL}, "", verdict::kind::fault, "the re-play ended by signal 9 (Killed)"},
        {"crash", {-1, SIGSEGV}, "", verdict::kind::fault, "the re-play ended by signal 11 (Segmentation fault)"},
        {"unreadable files", {2}, R"({"verified": false, "reason": "cannot read"})", verdict::kind::fault, "the re-play could not run: cannot read"},
        {"no verifier program", {-1, 0, false, false, ENOENT}, "", verdict::kind::worker_fault,
         "the verifier program could not be started: No such file or directory"},
        {"exec failed, seen by its status", {127}, "", verdict::kind::worker_fault, ""},
    };
    for (const row& r : rows) {
        const verdict v = server::judge(r.end, r.output, claim());
        EXPECT_EQ(v.outcome, r.expected) << r.what << ": " << v.reason;
        if (r.expected != verdict::kind::verified) {
            EXPECT_FALSE(v.reason.empty()) << r.what;
        }
        if (!r.reason.empty()) {
            EXPECT_EQ(v.reason, r.reason) << r.what;
        }
    }
}

TEST(Verdict, KeepsTheLogicVersionAVerifiedRePlayNames) {
    const std::string base = answer(run1 + "," + run2);
    const auto with = [&](const std::string& v) { return base.substr(0, base.size() - 1) + ", \"logic_version\": " + v + "}"; };
    // What the answer says, and what is kept: only a whole number that fits.
    const std::vector<std::pair<std::string, std::string>> rows = {
        {with("7"), "7"}, {with("0"), "0"}, {with("-1"), ""}, {with("\"7\""), ""}, {with("1.5"), ""},
        {with("4294967296"), ""}, {base, ""},
    };
    for (const auto& [output, kept] : rows) {
        const verdict v = server::judge({0}, output, claim());
        EXPECT_EQ(v.outcome, verdict::kind::verified) << output;
        EXPECT_EQ(v.logic_version, kept) << output;
    }
}

TEST(Tokens, AreRandomAndKeptAsSha256) {
    const std::string a = server::new_token(), b = server::new_token();
    EXPECT_NE(a, b);
    EXPECT_TRUE(server::token_form(a));
    EXPECT_FALSE(server::token_form(a.substr(1)));
    EXPECT_FALSE(server::token_form(std::string(63, 'a') + "G"));
    // SHA-256("abc"), FIPS 180-2's first example.
    const std::string h = server::token_hash("abc");
    ASSERT_EQ(h.size(), 32u);
    EXPECT_EQ(static_cast<unsigned char>(h[0]), 0xbau);
    EXPECT_EQ(static_cast<unsigned char>(h[31]), 0xadu);
    EXPECT_EQ(server::bearer_token("Bearer " + a), a);
    EXPECT_EQ(server::bearer_token("Basic " + a), "");
}

TEST(RateLimit, TakesABurstThenWaits) {
    server::rate_limiter limit(1, 3);
    int wait = 0;
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(limit.take("a", wait)) << i;
    EXPECT_FALSE(limit.take("a", wait));
    EXPECT_GE(wait, 1);
    EXPECT_TRUE(limit.take("b", wait));
}

}  // namespace
