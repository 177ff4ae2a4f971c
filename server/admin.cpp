#include "server/admin.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>

#include <pqxx/pqxx>

#include "converter/difficulty.hpp"
#include "converter/editions.hpp"
#include "server/board_edits.hpp"
#include "server/database.hpp"
#include "server/log.hpp"
#include "server/names.hpp"
#include "server/options.hpp"
#include "server/recheck.hpp"
#include "server/schema.hpp"
#include "server/statements.hpp"
#include "vaz/executable.hpp"

namespace server {
namespace {

constexpr int status_refused = 1;
constexpr int status_usage = 2;

// What a command was given: its words after the command, and its options.
struct admin_args {
    std::string command;
    std::vector<std::string> words;
    std::map<std::string, std::string> given;  // option without dashes -> value ("" for --all)
    std::string database, by, verifier;
};

// Stops a command: its message for standard error and the exit status.
struct stop {
    int status;
    std::string message;
};

// A command's words, the options it takes beside the common ones, whether
// it needs a reason, and what it does.
struct command_row {
    const char* name;
    const char* words;  // as the usage shows them; their count is the words needed
    int word_count;
    const char* options;  // space-separated, without dashes
    bool needs_reason;
    int (*act)(pqxx::work&, const admin_args&);
};

std::string who_by_default() {
    if (const char* s = std::getenv("SUDO_USER"); s && *s) return s;
    if (const passwd* p = getpwuid(geteuid()); p && p->pw_name && *p->pw_name) return p->pw_name;
    return "uid " + std::to_string(geteuid());
}

std::string given(const admin_args& a, const std::string& key) {
    const auto it = a.given.find(key);
    return it == a.given.end() ? std::string() : it->second;
}
bool has(const admin_args& a, const std::string& key) { return a.given.count(key) != 0; }
const char* or_null(const std::string& s) { return s.empty() ? nullptr : s.c_str(); }

struct player_row {
    std::int64_t id;
    std::string name;
    bool restricted;
};

player_row find_player(pqxx::work& w, const std::string& name) {
    const pqxx::result r = run(w, sql::admin_player, name);
    if (r.empty()) throw stop{status_refused, "no player is named \"" + name + "\""};
    return {r[0][0].as<std::int64_t>(), r[0][1].as<std::string>(), r[0][2].as<bool>()};
}

struct session_row {
    std::int64_t id, player;
    board_id board;
    bool hidden;
};

session_row find_session(pqxx::work& w, const std::string& text) {
    const bool digits = !text.empty() && text.size() <= 18 && text.find_first_not_of("0123456789") == std::string::npos;
    const pqxx::result r = digits ? run(w, sql::admin_session, std::stoll(text)) : pqxx::result();
    if (r.empty()) throw stop{status_refused, "no session " + text + " (a session is its number, as boards name it)"};
    const pqxx::row x = r[0];
    return {x[0].as<std::int64_t>(), x[1].as<std::int64_t>(),
            {x[2].as<std::string>(), x[3].as<std::string>(), x[4].as<std::string>()}, x[6].as<bool>()};
}

std::int64_t audit(pqxx::work& w, const admin_args& a, std::optional<std::int64_t> player, std::optional<std::int64_t> session,
                   const std::string& detail) {
    const std::string p = player ? std::to_string(*player) : "", s = session ? std::to_string(*session) : "";
    return run1(w, sql::audit_insert, a.by, a.command, or_null(p), or_null(s), detail, given(a, "reason"))[0].as<std::int64_t>();
}

// What a command changed, told only once its transaction has committed: a
// commit that fails must not follow a line saying the change was made.
std::string told_after_commit;

void done(const std::string& what, std::int64_t audit_id) {
    told_after_commit += what + " (audit " + std::to_string(audit_id) + ")\n";
}

int act_hide(pqxx::work& w, const admin_args& a) {
    const session_row s = find_session(w, a.words[0]);
    const bool hide = a.command == "hide";
    lock_player(w, s.player);
    run(w, sql::session_hide, s.id, hide, hide ? given(a, "reason") : std::string());
    refresh_best(w, s.player, s.board);
    const std::int64_t id = audit(w, a, s.player, s.id, s.hidden != hide ? "" : hide ? "already hidden" : "already shown");
    done("session " + std::to_string(s.id) + (hide ? " hidden" : " restored"), id);
    return 0;
}

int act_restrict(pqxx::work& w, const admin_args& a) {
    const player_row p = find_player(w, a.words[0]);
    const bool restrict = a.command == "restrict";
    lock_player_and_sessions(w, p.id);
    run(w, sql::player_restrict, p.id, restrict, restrict ? given(a, "reason") : std::string());
    const std::vector<board_id> boards = player_boards(w, p.id);
    for (const board_id& b : boards) refresh_best(w, p.id, b);
    const std::int64_t id = audit(w, a, p.id, std::nullopt, std::to_string(boards.size()) + " boards");
    done("player " + p.name + (restrict ? " restricted" : " let back") + " on " + std::to_string(boards.size()) + " boards", id);
    return 0;
}

int act_rename(pqxx::work& w, const admin_args& a) {
    const player_row p = find_player(w, a.words[0]);
    const std::string& name = a.words[1];
    const name_check n = check_name(name);
    if (!n.ok) throw stop{status_refused, "\"" + name + "\" cannot be a name: " + n.reason};
    const pqxx::result holder = run(w, sql::name_holder_other, n.key, name, p.id);
    if (!holder.empty())
        throw stop{status_refused, "the name \"" + name + "\" is taken (it reads as \"" + holder[0][0].as<std::string>() + "\")"};
    run(w, sql::player_rename, p.id, name, n.key);
    done("player " + p.name + " renamed " + name, audit(w, a, p.id, std::nullopt, p.name + " -> " + name));
    return 0;
}

int act_delete(pqxx::work& w, const admin_args& a) {
    const player_row p = find_player(w, a.words[0]);
    lock_player_and_sessions(w, p.id);
    for (const board_id& b : player_boards(w, p.id)) remove_best(w, p.id, b);
    run(w, sql::player_runs_delete, p.id);
    const auto replays = run(w, sql::player_sessions_delete, p.id).affected_rows();
    run(w, sql::player_delete, p.id);
    // Its own row keeps the id alone; the rows before lose what named them.
    run(w, sql::audit_scrub, p.id);
    const std::int64_t id = audit(w, a, p.id, std::nullopt, "");
    done("player " + std::to_string(p.id) + " deleted with " + std::to_string(replays) + " sessions", id);
    return 0;
}

int act_note(pqxx::work& w, const admin_args& a) {
    const player_row p = find_player(w, a.words[0]);
    done("noted on " + p.name, audit(w, a, p.id, std::nullopt, a.words[1]));
    return 0;
}

// Tabs inside a field would shift the columns after it.
std::string field(const pqxx::field& f) {
    std::string s = f.is_null() ? "-" : f.as<std::string>();
    for (char& c : s)
        if (c == '\t' || c == '\n') c = ' ';
    return s;
}

int act_runs(pqxx::work& w, const admin_args& a) {
    std::string player;
    if (has(a, "player")) player = std::to_string(find_player(w, given(a, "player")).id);
    std::printf("session\tplayer\tstage\tedition\tdifficulty\tstatus\tshown\tlogic\truns\treason\n");
    for (const pqxx::row& r : run(w, sql::admin_runs, or_null(player), or_null(given(a, "stage")), or_null(given(a, "edition")),
                                  or_null(given(a, "difficulty")))) {
        const char* shown = r[6].as<bool>() ? "hidden" : r[9].as<bool>() ? "restricted" : "shown";
        std::printf("%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n", field(r[0]).c_str(), field(r[1]).c_str(), field(r[2]).c_str(),
                    field(r[3]).c_str(), field(r[4]).c_str(), field(r[5]).c_str(), shown, field(r[8]).c_str(),
                    field(r[10]).c_str(), field(r[7]).c_str());
    }
    // A listing changes nothing and writes no audit row.
    return 0;
}

int act_audit(pqxx::work& w, const admin_args& a) {
    std::string player;
    if (has(a, "player")) player = std::to_string(find_player(w, given(a, "player")).id);
    const long long limit = has(a, "limit") ? std::stoll(given(a, "limit")) : 50;
    std::printf("audit\tat\tby\taction\tplayer\tsession\tdetail\treason\n");
    for (const pqxx::row& r : run(w, sql::audit_list, or_null(player), limit)) {
        const std::string who = r[4].is_null() ? "-" : "#" + field(r[4]) + (r[5].is_null() ? "" : " " + field(r[5]));
        std::printf("%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n", field(r[0]).c_str(), field(r[1]).c_str(), field(r[2]).c_str(),
                    field(r[3]).c_str(), who.c_str(), field(r[6]).c_str(), field(r[7]).c_str(), field(r[8]).c_str());
    }
    return 0;
}

int act_reverify(pqxx::work& w, const admin_args& a) {
    const bool all = has(a, "all");
    std::string version, why;
    if (!all) {
        version = verifier_logic_version(a.verifier, why);
        if (version.empty()) throw stop{status_refused, why};
    }
    const auto queued = run(w, sql::recheck_queue, or_null(given(a, "stage")), all, or_null(version)).affected_rows();
    const std::string what = std::to_string(queued) + " sessions queued to be verified again" +
                             (all ? std::string() : " (verified by another logic than version " + version + ")");
    done(what, audit(w, a, std::nullopt, std::nullopt, what));
    return 0;
}

const command_row commands[] = {
    {"runs", "", 0, "player stage edition difficulty", false, act_runs},
    {"hide", "SESSION", 1, "", true, act_hide},
    {"restore", "SESSION", 1, "", false, act_hide},
    {"restrict", "PLAYER", 1, "", true, act_restrict},
    {"lift", "PLAYER", 1, "", false, act_restrict},
    {"rename", "PLAYER NEWNAME", 2, "", false, act_rename},
    {"delete-player", "PLAYER", 1, "", true, act_delete},
    {"note", "PLAYER TEXT", 2, "", false, act_note},
    {"audit", "", 0, "player limit", false, act_audit},
    {"reverify", "", 0, "stage all verifier", false, act_reverify},
};

bool is_hash(const std::string& s) {
    return s.size() == 32 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Options that take no value.
bool is_flag(const std::string& key) { return key == "all"; }

// The command's words and options in a, or the usage error.
std::optional<stop> read_args(const std::vector<std::string>& args, admin_args& a, const command_row*& row) {
    std::vector<std::string> config;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& s = args[i];
        if (s.rfind("--", 0) != 0 || s.size() == 2) {
            if (a.command.empty()) a.command = s;
            else a.words.push_back(s);
            continue;
        }
        const std::string key = s.substr(2);
        if (is_flag(key)) {
            a.given[key] = "";
            continue;
        }
        if (i + 1 >= args.size()) return stop{status_usage, s + " needs a value"};
        if (a.given.count(key)) return stop{status_usage, s + " is given twice"};
        a.given[key] = args[++i];
    }
    if (a.command.empty())
        return stop{status_usage, "a command is needed: runs, hide, restore, restrict, lift, rename, delete-player, note, audit or reverify"};
    row = nullptr;
    for (const command_row& c : commands)
        if (a.command == c.name) row = &c;
    if (!row) return stop{status_usage, "unknown command \"" + a.command + "\" (velmora_server admin --help lists them)"};
    return std::nullopt;
}

// The database, the verifier and who acts, from the command line or its configuration file.
std::optional<stop> settle_common(admin_args& a) {
    if (has(a, "config")) {
        std::vector<std::string> settings;
        std::string error;
        if (!config_arguments(given(a, "config"), settings, error)) return stop{status_usage, error};
        for (std::size_t i = 0; i + 1 < settings.size(); ++i) {
            if (settings[i] == "--database") a.database = settings[i + 1];
            if (settings[i] == "--verifier") a.verifier = settings[i + 1];
        }
    }
    if (has(a, "database")) a.database = given(a, "database");
    if (has(a, "verifier")) a.verifier = given(a, "verifier");
    if (a.database.empty()) return stop{status_usage, "--database URL is needed, or a --config file that sets database"};
    if (a.verifier.empty()) a.verifier = vaz::executable_dir() + "/velmora_verify";
    a.by = has(a, "by") ? given(a, "by") : who_by_default();
    if (a.by.empty()) return stop{status_usage, "--by needs a name"};
    return std::nullopt;
}

std::optional<stop> check_args(admin_args& a, const command_row& row) {
    const std::string common = " database config by reason ";
    const std::string own = std::string(" ") + row.options + " ";
    for (const auto& [key, value] : a.given)
        if (common.find(" " + key + " ") == std::string::npos && own.find(" " + key + " ") == std::string::npos)
            return stop{status_usage, a.command + " takes no --" + key};
    if (static_cast<int>(a.words.size()) != row.word_count)
        return stop{status_usage, "usage: velmora_server admin " + a.command + (row.word_count ? " " : "") + row.words};
    if (row.needs_reason && given(a, "reason").empty())
        return stop{status_usage, a.command + " needs --reason TEXT: why, for the audit"};
    if (a.command == "runs" && has(a, "player") == has(a, "stage"))
        return stop{status_usage, "runs takes --player NAME or --stage HASH (with --edition E and --difficulty D)"};
    if ((has(a, "edition") || has(a, "difficulty")) && !has(a, "stage"))
        return stop{status_usage, "--edition and --difficulty go with --stage"};
    if (has(a, "stage") && !is_hash(given(a, "stage")))
        return stop{status_usage, "--stage must be a stage's hash, 32 lowercase hexadecimal digits"};
    if (has(a, "edition") && !converter::edition_from_name(given(a, "edition")))
        return stop{status_usage, "--edition must be " + converter::edition_names()};
    if (has(a, "difficulty") && !converter::difficulty_from_name(given(a, "difficulty")))
        return stop{status_usage, "--difficulty must be easy, normal or hard"};
    const std::string limit = given(a, "limit");
    if (has(a, "limit") && (limit.empty() || limit.size() > 6 || limit.find_first_not_of("0123456789") != std::string::npos ||
                            std::stoll(limit) == 0))
        return stop{status_usage, "--limit must be a whole number from 1 to 999999"};
    if (a.command == "note" && a.words[1].empty()) return stop{status_usage, "note needs a text"};
    return settle_common(a);
}

int fail_with(const stop& s) {
    std::string message = s.message;
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
    // One line: the database's messages come in several.
    for (std::size_t at; (at = message.find_first_of("\n\t")) != std::string::npos;)
        message.replace(at, message.find_first_not_of("\n\t", at) - at, " ");
    std::fprintf(stderr, "velmora_server admin: %s\n", message.c_str());
    return s.status;
}

}  // namespace

const char* admin_usage_text() {
    return "usage: velmora_server admin COMMAND [--database URL | --config FILE] [--by NAME] [--reason TEXT]\n"
           "  runs --player NAME | --stage HASH [--edition E --difficulty D]   list sessions and their state\n"
           "  hide SESSION --reason TEXT | restore SESSION                     a session off every board, or back\n"
           "  restrict PLAYER --reason TEXT | lift PLAYER                      a player off every board and refused, or back\n"
           "  rename PLAYER NEWNAME | note PLAYER TEXT\n"
           "  delete-player PLAYER --reason TEXT                               the player, their sessions and replays\n"
           "  audit [--player NAME] [--limit N]                                the audit, newest first (50)\n"
           "  reverify [--stage HASH] [--all] [--verifier PROGRAM]             verify sessions again after the game changed\n";
}

int admin_main(const std::vector<std::string>& args) {
    for (const std::string& s : args)
        if (s == "--help" || s == "-h") {
            std::fputs(admin_usage_text(), stdout);
            return 0;
        }
    silence_log();
    admin_args a;
    const command_row* row = nullptr;
    if (auto s = read_args(args, a, row)) return fail_with(*s);
    if (auto s = check_args(a, *row)) return fail_with(*s);
    if (a.command == "rename") {
        const name_check n = check_name(a.words[1]);
        if (!n.ok) return fail_with({status_refused, "\"" + a.words[1] + "\" cannot be a name: " + n.reason});
    }
    try {
        const auto c = open_connection(a.database);
        {
            pqxx::nontransaction n(*c);
            run(n, sql::owner_role);
        }
        migrate(*c);
        pqxx::work w(*c);
        told_after_commit.clear();
        const int status = row->act(w, a);
        w.commit();
        std::fputs(told_after_commit.c_str(), stdout);
        return status;
    } catch (const stop& s) {
        return fail_with(s);
    } catch (const pqxx::broken_connection& e) {
        return fail_with({status_refused, "cannot reach the database: " + std::string(e.what())});
    } catch (const std::exception& e) {
        return fail_with({status_refused, e.what()});
    }
}

}  // namespace server
