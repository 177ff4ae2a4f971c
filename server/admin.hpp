#pragma once
#include <string>
#include <vector>

// velmora_server admin COMMAND ...: the board keepers' commands on the
// server's database (hide and restore a session, restrict and let back a
// player, rename or delete one, note, list runs and the audit, queue
// verified sessions to be verified again). Each action is one transaction
// with its audit row: who, when, what and why.
namespace server {

// The arguments after "admin"; the exit status: 0 done, 1 refused or
// failed (an unknown player or session, a bad name, no database), 2 bad usage.
int admin_main(const std::vector<std::string>& args);

const char* admin_usage_text();

}  // namespace server
