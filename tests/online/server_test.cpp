// The game's side against a real scoreboard server on a throwaway
// PostgreSQL: registering, a queued session sent, verified and on the board,
// its files downloaded back; velmora_play's commands for it.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "library/submissions.hpp"
#include "online/account.hpp"
#include "online/client.hpp"
#include "online/sender.hpp"
#include "server/server_helpers.hpp"
#include "support/pg_cluster.hpp"
#include "support/scratch_dir.hpp"
#include "vaz/files.hpp"

namespace {

test_support::pg_cluster* cluster = nullptr;
test_support::server_process* server = nullptr;

std::string program(const char* name) { return std::string(VELMORA_BUILD_DIR) + "/" + name; }
std::string url() { return "http://127.0.0.1:" + std::to_string(server->port()); }

class environment : public ::testing::Environment {
public:
    void SetUp() override {
        cluster = new test_support::pg_cluster();
        server = new test_support::server_process(program("velmora_server"), cluster->url(),
                                                  {"--workers", "1", "--verifier", program("tests/fake_verify")},
                                                  cluster->root() + "/server.log");
    }
    void TearDown() override {
        delete server;
        delete cluster;
    }
};
const auto* registered = ::testing::AddGlobalTestEnvironment(new environment);

void write_file(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

TEST(OnlineServer, ASessionQueuedGoesToTheBoardAndComesBackToWatch) {
    test_support::scratch_dir dir;
    ASSERT_EQ(setenv("XDG_DATA_HOME", dir.path().c_str(), 1), 0);
    const online::client anyone(url());
    const online::registered mira = anyone.register_player("Mira_online");
    ASSERT_TRUE(mira.how.ok) << mira.how.message;
    const online::registered again = anyone.register_player("mira_ONLINE");
    EXPECT_FALSE(again.how.ok);
    EXPECT_FALSE(again.how.retry);
    EXPECT_NE(again.how.message.find("is taken"), std::string::npos) << again.how.message;

    library::song_library lib(dir / "library.sqlite3");
    const std::string stage = server_test::stage_bytes(50, 3);
    const std::string replay = server_test::replay_bytes(stage, 21, {{7, 1200}, {9, 1500}});
    write_file(dir / "stage.pat", stage);
    write_file(dir / "rec.session", replay);
    ASSERT_EQ(library::queue_submission(lib, dir / "rec.session", "sess-a", std::string(32, 'e'), "standard", "hard",
                                        dir / "stage.pat", url(), 100),
              "");
    const online::account a{url(), "Mira_online", mira.token};
    const auto start = std::chrono::steady_clock::now();
    online::send_report r = online::send_queue(lib, a, 100, false);
    EXPECT_EQ(r.sent, 1u);
    library::submission s = library::all_submissions(lib, url()).at(0);
    for (int i = 0; i < 300 && s.state == library::submission_state::pending; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        online::send_queue(lib, a, 100, false);
        s = library::all_submissions(lib, url()).at(0);
    }
    EXPECT_EQ(s.state, library::submission_state::verified) << s.reason;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));

    const std::string stage_hash = vaz::hash_bytes(stage.data(), stage.size()).hex();
    const online::board b = online::client(url(), mira.token).get_board(stage_hash, "standard", "hard", 10);
    ASSERT_TRUE(b.how.ok) << b.how.message;
    ASSERT_EQ(b.entries.size(), 1u);
    EXPECT_EQ(b.entries[0].player, "Mira_online");
    EXPECT_EQ(b.entries[0].session, s.server_session);
    ASSERT_TRUE(b.you.has_value());
    EXPECT_EQ(b.you->rank, 1);
    EXPECT_EQ(b.players, 1);
    EXPECT_EQ(anyone.replay(b.entries[0].session).bytes, replay);
    EXPECT_EQ(anyone.stage(stage_hash).bytes, stage);
    const online::download missing = anyone.replay(987654321);
    EXPECT_FALSE(missing.how.ok);
    EXPECT_EQ(missing.how.status, 404);
    unsetenv("XDG_DATA_HOME");
}

TEST(OnlineServer, VelmoraPlayGoesOnlineOnceAndOffline) {
    test_support::scratch_dir dir;
    const std::string env = "env XDG_CONFIG_HOME='" + dir.path() + "' XDG_DATA_HOME='" + dir.path() +
                            "' XDG_CACHE_HOME='" + dir.path() + "' " + program("velmora_play");
    struct row {
        std::string args;
        int status;
        const char* says;
    };
    const std::vector<row> rows = {
        {"--submit", 1, "no scoreboard server is set"},
        {"--online ftp://x --player Zed_cli", 1, "must start with http:// or https://"},
        {"--online " + url() + " --player Zed_cli", 0, "Playing online at"},
        {"--online " + url() + " --player Zed_cli", 0, "Already playing online"},
        {"--submit", 0, "No session was queued"},
        {"--offline", 0, "Playing offline"},
        {"--submit", 1, "no scoreboard server is set"},
        {"--online " + url() + " --player Zed_cli", 1, "is taken"},
    };
    for (const row& r : rows) {
        int status = 0;
        const std::string out = test_support::shell_output(env + " " + r.args + " 2>&1", status);
        EXPECT_EQ(WEXITSTATUS(status), r.status) << r.args << ": " << out;
        EXPECT_NE(out.find(r.says), std::string::npos) << r.args << ": " << out;
        if (r.says == std::string("Playing online at")) {
            struct stat st {};
            ASSERT_EQ(stat((dir / "velmora/online.conf").c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0600u);
        }
    }
}

}  // namespace
