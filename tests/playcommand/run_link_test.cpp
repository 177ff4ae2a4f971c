#include "playcommand/run_link.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "playcommand/options.hpp"
#include "playcommand/parse_words.hpp"

using namespace playcommand;


TEST(RunLink, GoodFormsNameTheServerSessionAndMoment) {
    struct row {
        const char* url;
        const char* server;
        const char* base;
        std::int64_t session;
        std::int64_t at_ms;  // -1: none given
    };
    const row rows[] = {
        {"velmora://127.0.0.1:8123/sessions/42?t=1", "http://127.0.0.1:8123", "velmora://127.0.0.1:8123/sessions/42", 42, 1000},
        {"velmora://boards.example/sessions/7", "http://boards.example:8029", "velmora://boards.example:8029/sessions/7", 7, -1},
        {"VELMORA://h:9/sessions/9?t=1:01.5", "http://h:9", "velmora://h:9/sessions/9", 9, 61500},
        {"VELMORA://H:9/SESSIONS/9?T=2", "http://H:9", "velmora://H:9/sessions/9", 9, 2000},  // as the game shows it
        {"http://h/sessions/3?ref=mail&t=60#top", "http://h", "http://h/sessions/3", 3, 60000},
        {"https://boards.example/sessions/12", "https://boards.example", "https://boards.example/sessions/12", 12, -1},
        {"velmora://[::1]:8029/sessions/005", "http://[::1]:8029", "velmora://[::1]:8029/sessions/5", 5, -1},
    };
    for (const row& r : rows) {
        run_link l;
        ASSERT_EQ(parse_run_link(r.url, l), "") << r.url;
        EXPECT_EQ(l.server, r.server) << r.url;
        EXPECT_EQ(l.base, r.base) << r.url;
        EXPECT_EQ(l.session, r.session) << r.url;
        EXPECT_EQ(l.at_ms.value_or(-1), r.at_ms) << r.url;
    }
    // A link made again at a moment reads back as the same run and server.
    run_link l, back;
    ASSERT_EQ(parse_run_link("https://h:444/sessions/31?t=2", l), "");
    ASSERT_EQ(parse_run_link(run_link_at(l, 75900), back), "");
    EXPECT_EQ(back.server, "https://h:444");
    EXPECT_EQ(back.session, 31);
    EXPECT_EQ(back.at_ms, 75000);
}

TEST(RunLink, BadFormsAreRefusedSayingWhy) {
    const std::pair<const char*, const char*> rows[] = {
        {"ftp://h/sessions/1", "not ftp://"},
        {"velmora:///sessions/1", "no server"},
        {"velmora://user@h/sessions/1", "names a user"},
        {"velmora://h/sessions/", "names no session"},
        {"velmora://h/session/1", "names no session"},
        {"velmora://h", "names no session"},
        {"velmora://h/sessions/1a", "not a session's number"},
        {"velmora://h/sessions/../../x", "not a session's number"},
        {"velmora://h/sessions/1/replay", "not a session's number"},
        {"velmora://h/sessions/%31", "not a session's number"},
        {"velmora://h/sessions/0", "not a session's number"},
        {"velmora://h/sessions/99999999999999999999", "not a session's number"},
        {"velmora://h/sessions/1?t=soon", "t="},
        {"velmora://h/sessions/1?t=1&t=2", "twice"},
        {"velmora://h:0/sessions/1", "port"},
        {"velmora://h:70000/sessions/1", "port"},
        {"velmora://h:/sessions/1", "port"},
        {"velmora://h;rm/sessions/1", "not a host name"},
        {"velmora://[::1/sessions/1", "not closed"},
    };
    for (const auto& [url, said] : rows) {
        run_link l;
        const std::string why = parse_run_link(url, l);
        EXPECT_NE(why.find(said), std::string::npos) << url << ": " << why;
    }
}

TEST(RunLink, FileUrlsFromTheDesktopAreLocalPaths) {
    EXPECT_EQ(file_url_path("file:///music/a%20b%C3%A9.flac"), "/music/a b\xc3\xa9.flac");
    EXPECT_EQ(file_url_path("file://localhost/m.ogg"), "/m.ogg");
    EXPECT_EQ(file_url_path("file://other/m.ogg"), "");
    EXPECT_EQ(file_url_path("file:///m%2"), "");
    EXPECT_EQ(file_url_path("file:///m%00.ogg"), "");
}

TEST(RunLink, TheCommandLineWatchesALinkAlone) {
    parsed_options p = parse({"velmora://h:1/sessions/4?t=2"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.what, command::watch);
    EXPECT_EQ(p.options.link->session, 4);
    EXPECT_EQ(p.options.watch_at_ms, 2000);
    EXPECT_TRUE(p.options.at_from_link);
    p = parse({"--watch", "https://h/sessions/4?t=2", "--at", "5", "--speed=2"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.watch_at_ms, 5000) << "--at wins over the link's moment";
    EXPECT_FALSE(p.options.at_from_link);
    EXPECT_EQ(p.options.watch_speed, 200);
    p = parse({"file:///m/a%20b.ogg"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.what, command::play);
    EXPECT_EQ(p.options.songs, std::vector<std::string>{"/m/a b.ogg"});

    EXPECT_FALSE(parse({"velmora://h/sessions/1", "song.ogg"}).ok);
    EXPECT_FALSE(parse({"velmora://h/sessions/1", "velmora://h/sessions/2"}).ok);
    EXPECT_FALSE(parse({"--list", "velmora://h/sessions/1"}).ok);
    EXPECT_FALSE(parse({"--watch", "a.vrp", "velmora://h/sessions/1"}).ok);
    EXPECT_FALSE(parse({"gopher://h/sessions/1"}).ok);
}
