// The public pages: every text a player or a file chose reaches the page
// only escaped, and each row links its session in the browser and the game.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/pages.hpp"

namespace {

using namespace server;

TEST(Pages, EscapesTheFiveCharactersAndNothingElse) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"plain text", "plain text"},
        {"a&b", "a&amp;b"},
        {"&amp;", "&amp;amp;"},
        {"<script>alert(1)</script>", "&lt;script&gt;alert(1)&lt;/script&gt;"},
        {"\"><img src=x onerror=alert(1)>", "&quot;&gt;&lt;img src=x onerror=alert(1)&gt;"},
        {"it's", "it&#39;s"},
        {"Café Nocturne ♪", "Café Nocturne ♪"},
        {"", ""},
    };
    for (const auto& [in, out] : rows) EXPECT_EQ(html_escape(in), out) << in;
}

const std::vector<std::string> hostile = {"<script>alert(1)</script>", "\"><img src=x onerror=alert(1)>", "x' onmouseover='y"};

// No hostile text appears raw; each appears escaped.
void expect_only_escaped(const std::string& page, const std::string& what) {
    for (const std::string& h : hostile) {
        EXPECT_EQ(page.find(h), std::string::npos) << what << ": " << h << " raw in\n" << page;
        EXPECT_NE(page.find(html_escape(h)), std::string::npos) << what << ": " << h << " missing from\n" << page;
    }
    EXPECT_EQ(page.find("<script"), std::string::npos) << what;
    EXPECT_EQ(page.find("<img"), std::string::npos) << what;
}

TEST(Pages, ABoardPageEscapesNamesLabelsAndTheHost) {
    board_page_data b{"0123456789abcdef0123456789abcdef", "standard", "hard", hostile[0], hostile[1], hostile[2], 2, {}};
    b.rows.push_back({1, hostile[0], 4, 1500, "25.00", "2026-12-01", 41, 3});
    b.rows.push_back({2, hostile[1], 2, 300, "10.00", "2026-12-02", 42, 0});
    b.rows.push_back({3, hostile[2], 2, 300, "10.00", "2026-12-02", 43, 0});
    const std::string page = board_page(b);
    expect_only_escaped(page, "board");
    for (const char* part : {"<td class=\"n\">1</td>", "<td>25.00</td>", "<td>2026-12-01</td>", "<td class=\"n watches\">3</td>",
                             "<a href=\"/sessions/41\">41</a>", "href=\"velmora://x&#39; onmouseover=&#39;y/sessions/42\"", "2 players"})
        EXPECT_NE(page.find(part), std::string::npos) << part << " not in\n" << page;
    b.rows.clear();
    b.host.clear();
    const std::string empty = board_page(b);
    EXPECT_NE(empty.find("No verified runs yet"), std::string::npos) << empty;
}

TEST(Pages, ASessionPageLinksItsReplayAndTheGameOnlyWithAHost) {
    session_page_data s{7, 12, hostile[0], "verified", "0123456789abcdef0123456789abcdef", "standard", "hard", hostile[1],
                        hostile[2], "2026-12-01", "scores.example:8443", {}, {}};
    s.runs.push_back({1, "", 3, 900, "20.00", "", 0, 0});
    const std::string page = session_page(s);
    expect_only_escaped(page, "session");
    for (const char* part : {"href=\"/v1/sessions/7/replay\"", "href=\"velmora://scores.example:8443/sessions/7\"", "Status: verified",
                             "<span class=\"watches\">12</span>", "<td>20.00</td>", "href=\"/boards/0123456789abcdef0123456789abcdef/standard/hard\""})
        EXPECT_NE(page.find(part), std::string::npos) << part << " not in\n" << page;
    EXPECT_EQ(page.find("This run's address"), std::string::npos) << page;
    s.web = "https://scores.example";
    EXPECT_NE(session_page(s).find("<a href=\"https://scores.example/sessions/7\">"), std::string::npos) << session_page(s);
    s.host.clear();
    EXPECT_EQ(session_page(s).find("velmora://"), std::string::npos);
    EXPECT_EQ(missing_page("<b>").find("<b>"), std::string::npos);
}

// A page's links name the configured public address whatever the request
// says; without one, only a well-formed Host, else the address reached.
TEST(Pages, LinksFollowThePublicAddressElseOnlyAWellFormedHost) {
    const std::string reached = "127.0.0.1:8029";
    const struct {
        const char* pub;  // "" for none
        std::string host_header, game, web;
    } rows[] = {
        {"", "boards.example:8029", "boards.example:8029", ""},
        {"", "boards.example", "boards.example", ""},
        {"", "[::1]:8029", "[::1]:8029", ""},
        {"", "", reached, ""},
        {"", hostile[1], reached, ""},
        {"", hostile[2], reached, ""},
        {"", "boards.example/x", reached, ""},
        {"", "boards.example:99999", reached, ""},
        {"", "boards.example:80:80", reached, ""},
        {"", "user@boards.example", reached, ""},
        {"", "[::1", reached, ""},
        {"", "-boards.example", reached, ""},
        {"http://boards.example:8443", hostile[1], "boards.example:8443", "http://boards.example:8443"},
        {"http://boards.example", "other.example", "boards.example:80", "http://boards.example"},
        {"https://boards.example:443/", "other.example", "", "https://boards.example"},
    };
    for (const auto& r : rows) {
        std::optional<public_address> pub;
        if (*r.pub) {
            public_address a;
            ASSERT_EQ(parse_public_address(r.pub, a), "") << r.pub;
            pub = a;
        }
        const page_links got = links_for(pub, r.host_header, reached);
        EXPECT_EQ(got.game, r.game) << r.pub << " " << r.host_header;
        EXPECT_EQ(got.web, r.web) << r.pub << " " << r.host_header;
    }
}

}  // namespace
