#include "playcommand/run_link.hpp"

#include <cctype>

#include "results/replay_file.hpp"
#include "results/watch_pace.hpp"
#include "userfiles/user_dirs.hpp"

namespace playcommand {
namespace {

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool all_digits(const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// HOST[:PORT] checked: a name or address of letters, digits, dots and
// dashes, or [v6]; a port 1 to 65535. "" or why not.
std::string check_authority(const std::string& a, std::string& host, std::string& port) {
    if (a.find('@') != std::string::npos) return "the link names a user; a run link names only the server";
    std::size_t host_end = a.size();
    if (!a.empty() && a[0] == '[') {
        host_end = a.find(']');
        if (host_end == std::string::npos) return "the link's host \"" + a + "\" is not closed by ]";
        ++host_end;
        if (a.find_first_not_of("0123456789abcdefABCDEF:.", 1) != host_end - 1)
            return "the link's host \"" + a.substr(0, host_end) + "\" is no IPv6 address";
    } else {
        host_end = a.find(':');
        if (host_end == std::string::npos) host_end = a.size();
        if (a.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") < host_end)
            return "the link's host \"" + a.substr(0, host_end) + "\" is not a host name";
    }
    host = a.substr(0, host_end);
    if (host.empty()) return "the link names no server (no host after \"//\")";
    if (host_end == a.size()) return {};
    if (a[host_end] != ':') return "the link's host \"" + a + "\" is not a host name";
    port = a.substr(host_end + 1);
    if (!all_digits(port) || port.size() > 5 || std::stoi(port) < 1 || std::stoi(port) > 65535)
        return "the link's port \"" + port + "\" is not a port, 1 to 65535";
    return {};
}

// The query after '?': t= (or T=) read as --at reads a moment; other keys (a web
// page's own) are passed over.
std::string read_query(const std::string& q, run_link& out) {
    std::size_t from = 0;
    while (from <= q.size()) {
        std::size_t amp = q.find('&', from);
        if (amp == std::string::npos) amp = q.size();
        const std::string pair = q.substr(from, amp - from);
        if (pair.size() >= 2 && (pair[0] == 't' || pair[0] == 'T') && pair[1] == '=') {
            if (out.at_ms) return "the link gives t= twice";
            std::int64_t ms = 0;
            std::string why;
            if (!results::parse_watch_moment(pair.substr(2), ms, why)) return "the link's t=: " + why;
            out.at_ms = ms;
        }
        from = amp + 1;
    }
    return {};
}

}  // namespace

bool looks_like_url(const std::string& arg) {
    const std::size_t sep = arg.find("://");
    if (sep == std::string::npos || sep == 0 || !std::isalpha(static_cast<unsigned char>(arg[0]))) return false;
    return arg.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+.-") == sep;
}

std::string parse_run_link(const std::string& url, run_link& out) {
    out = {};
    const std::string shown = "\"" + url + "\"";
    if (!looks_like_url(url)) return shown + " is no link to a run";
    const std::size_t sep = url.find("://");
    const std::string scheme = lower(url.substr(0, sep));
    if (scheme != "velmora" && scheme != "http" && scheme != "https")
        return shown + " is no link to a run: velmora_play opens velmora://, http:// and https:// links, not " +
               scheme + "://";
    std::string rest = url.substr(sep + 3);
    if (const std::size_t hash = rest.find('#'); hash != std::string::npos) rest.resize(hash);
    const std::size_t path_at = rest.find_first_of("/?");
    std::string host, port;
    if (std::string why = check_authority(rest.substr(0, path_at), host, port); !why.empty()) return shown + ": " + why;
    std::string path = path_at == std::string::npos ? std::string() : rest.substr(path_at);
    std::string query;
    if (const std::size_t q = path.find('?'); q != std::string::npos) {
        query = path.substr(q + 1);
        path.resize(q);
    }
    // Any case: the game shows its links in capitals, to be typed off the screen.
    if (lower(path.substr(0, 10)) != "/sessions/" || path.size() == 10)
        return shown + ": the link names no session; a run's link ends in /sessions/ID";
    const std::string id = path.substr(10);
    if (!all_digits(id) || id.size() > 18 || id.find_first_not_of('0') == std::string::npos)
        return shown + ": the session \"" + id + "\" is not a session's number";
    if (std::string why = read_query(query, out); !why.empty()) return shown + ": " + why;
    out.session = std::stoll(id);
    if (scheme == "velmora" && port.empty()) port = std::to_string(default_server_port);
    const std::string host_port = port.empty() ? host : host + ":" + port;
    out.server = (scheme == "https" ? "https://" : "http://") + host_port;
    out.base = scheme + "://" + host_port + "/sessions/" + std::to_string(out.session);
    return {};
}

std::string run_link_at(const run_link& link, std::int64_t at_ms) {
    return link.base + "?t=" + std::to_string(at_ms / 1000);
}

std::string file_url_path(const std::string& url) {
    if (lower(url.substr(0, 7)) != "file://") return {};
    std::string rest = url.substr(7);
    const std::size_t slash = rest.find('/');
    if (slash == std::string::npos) return {};
    const std::string host = lower(rest.substr(0, slash));
    if (!host.empty() && host != "localhost") return {};
    std::string path;
    for (std::size_t i = slash; i < rest.size(); ++i) {
        if (rest[i] != '%') {
            path += rest[i];
            continue;
        }
        if (i + 2 >= rest.size() || !std::isxdigit(static_cast<unsigned char>(rest[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(rest[i + 2])))
            return {};
        const char hex[3] = {rest[i + 1], rest[i + 2], 0};
        const char c = static_cast<char>(std::stoi(hex, nullptr, 16));
        if (c == '\0') return {};
        path += c;
        i += 2;
    }
    return path;
}

std::string fetch_session_replay(const online::client& client, std::int64_t session, const std::string& dir,
                                 std::string& why) {
    const std::string name = "session " + std::to_string(session);
    const online::download d = client.replay(session);
    if (!d.how.ok) {
        why = "cannot download the replay of " + name + ": " + d.how.message;
        return {};
    }
    results::replay r;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(d.bytes.data());
    const results::replay_read_result read = results::decode_replay(bytes, d.bytes.size(), r);
    if (read.status != results::replay_status::ok) {
        why = "the server's replay of " + name + " is not one: " + results::describe_replay_failure(name, read);
        return {};
    }
    if (!userfiles::make_dirs(dir, why)) {
        why = "cannot make the folder \"" + dir + "\": " + why;
        return {};
    }
    const std::string file = dir + "/session-" + std::to_string(session) + ".vrp";
    if (const std::string error = results::write_replay_file(file, r); !error.empty()) {
        why = "cannot keep the replay of " + name + " as \"" + file + "\": " + error;
        return {};
    }
    return file;
}

}  // namespace playcommand
