#pragma once
#include <optional>
#include <string>

// The player's scoreboard account: the server's address, the player's name
// and the token the server gave once, kept in online.conf in the config
// folder, readable by the player alone (mode 0600) and written whole:
//
//   server = http://127.0.0.1:8029
//   player = Mira
//   token = 3f9c...
//
// No file means offline: nothing is ever sent.
namespace online {

constexpr const char* account_file_name = "online.conf";

struct account {
    std::string server;  // as given, without a trailing '/'
    std::string player;
    std::string token;
};

// The account file's path; empty without a home folder.
std::string account_path();

// The account, or nothing when offline. A file that cannot be read, or holds
// no server or token, is offline too, with the reason in `problem`.
std::optional<account> load_account(std::string& problem);
std::optional<account> load_account_from(const std::string& path, std::string& problem);

// "" or the reason, as a message line.
std::string save_account(const account& a);
std::string save_account_to(const std::string& path, const account& a);
// Forgets the token; "" when done or nothing was kept.
std::string forget_account();

}  // namespace online
