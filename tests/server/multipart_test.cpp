// The multipart reader: the parts of well-formed bodies as a client sends
// them, and every way a body or its Content-Type may be malformed refused.
#include <gtest/gtest.h>

#include "server/multipart.hpp"

namespace {

std::string part(const std::string& disposition, const std::string& content, const std::string& more = "") {
    return "--b\r\nContent-Disposition: " + disposition + "\r\n" + more + "\r\n" + content + "\r\n";
}

TEST(Multipart, ReadsTheBoundaryOfAContentType) {
    const struct {
        const char* type;
        const char* boundary;  // nullptr: none
    } rows[] = {
        {"multipart/form-data; boundary=abc", "abc"},
        {"Multipart/Form-Data;boundary=\"a b:c\"", "a b:c"},
        {"multipart/form-data; charset=utf-8; boundary=\"----x'()+_,-./:=?\"", "----x'()+_,-./:=?"},
        {"multipart/form-data; boundary=a:b", nullptr},
        {"multipart/form-data", nullptr},
        {"multipart/form-data; boundary=", nullptr},
        {"multipart/form-data; boundary=\"\"", nullptr},
        {"multipart/form-data; boundary=\"ab", nullptr},
        {"multipart/form-data; boundary=a; boundary=b", nullptr},
        {"multipart/form-data; boundary=\"a<b\"", nullptr},
        {"multipart/form-data; boundary=\"ab \"", nullptr},
        {"multipart/mixed; boundary=abc", nullptr},
        {"application/json; boundary=abc", nullptr},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(server::multipart_boundary(r.type), r.boundary ? std::optional<std::string>(r.boundary) : std::nullopt) << r.type;
    }
    EXPECT_FALSE(server::multipart_boundary("multipart/form-data; boundary=" + std::string(71, 'a')));
    EXPECT_TRUE(server::multipart_boundary("multipart/form-data; boundary=" + std::string(70, 'a')));
}

TEST(Multipart, ReadsWellFormedBodiesAndRefusesMalformedOnes) {
    const std::string text = part("form-data; name=\"edition\"", "standard");
    const std::string file = part("form-data; name=\"stage\"; filename=\"s \\\"1\\\".pat\"", std::string("a\r\n-b\0c", 8),
                                  "Content-Type: application/octet-stream\r\n");
    const struct {
        const char* what;
        std::string body;
        int parts;  // -1: refused
    } rows[] = {
        {"a text part and a file", text + file + "--b--\r\n", 2},
        {"no CRLF after the last delimiter", text + "--b--", 1},
        {"no parts", "--b--\r\n", 0},
        {"an empty part", part("form-data; name=\"x\"", "") + "--b--", 1},
        {"cut short", text.substr(0, text.size() - 3), -1},
        {"no last delimiter", text, -1},
        {"a preamble", "hello\r\n" + text + "--b--", -1},
        {"an epilogue", text + "--b--\r\nmore", -1},
        {"a delimiter followed by junk", text + "--bx\r\n--b--", -1},
        {"no Content-Disposition", "--b\r\nContent-Type: text/plain\r\n\r\nx\r\n--b--", -1},
        {"two Content-Dispositions", "--b\r\nContent-Disposition: form-data; name=\"a\"\r\nContent-Disposition: form-data; name=\"b\"\r\n\r\nx\r\n--b--", -1},
        {"not form-data", part("attachment; name=\"a\"", "x") + "--b--", -1},
        {"no name", part("form-data; filename=\"a\"", "x") + "--b--", -1},
        {"an empty name", part("form-data; name=\"\"", "x") + "--b--", -1},
        {"a name twice", part("form-data; name=\"a\"; name=\"b\"", "x") + "--b--", -1},
        {"an unclosed quote", part("form-data; name=\"a", "x") + "--b--", -1},
        {"a header without a colon", "--b\r\nContent-Disposition form-data\r\n\r\nx\r\n--b--", -1},
        {"a header line past 1 KiB", part("form-data; name=\"a\"", "x", "X-Pad: " + std::string(1100, 'p') + "\r\n") + "--b--", -1},
        {"headers never ended", "--b\r\nContent-Disposition: form-data; name=\"a\"\r\n", -1},
        {"a bare LF between headers and content", "--b\r\nContent-Disposition: form-data; name=\"a\"\n\nx\r\n--b--", -1},
    };
    for (const auto& r : rows) {
        std::vector<server::form_part> parts;
        const bool ok = server::parse_multipart(r.body, "b", parts);
        EXPECT_EQ(ok ? static_cast<int>(parts.size()) : -1, r.parts) << r.what;
    }
    std::vector<server::form_part> parts;
    ASSERT_TRUE(server::parse_multipart(text + file + "--b--\r\n", "b", parts));
    EXPECT_EQ(parts[0].name, "edition");
    EXPECT_EQ(parts[0].filename, "");
    EXPECT_EQ(parts[0].content, "standard");
    EXPECT_EQ(parts[1].name, "stage");
    EXPECT_EQ(parts[1].filename, "s \"1\".pat");
    EXPECT_EQ(parts[1].content, std::string("a\r\n-b\0c", 8));
    // Past the most parts a body may have.
    std::string many;
    for (std::size_t i = 0; i <= server::most_parts; ++i) many += part("form-data; name=\"p\"", "x");
    EXPECT_FALSE(server::parse_multipart(many + "--b--", "b", parts));
}

}  // namespace
