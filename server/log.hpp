#pragma once
#include <string>
#include <utility>
#include <vector>

// The server's log: one line per event on standard error, for journald, in
// a stable form a reader or a filter can rely on:
//   velmora_server: event=verdict session=12 status=rejected ms=41 reason="run 1: score: recorded 2, replayed 1"
// A value with a space, a quote or '=' is quoted, and a line break or other
// control character in it is written as an escape, so an event is always
// exactly one line. Each line goes out in one write, so lines from several
// threads never mix.
namespace server {

using log_field = std::pair<std::string, std::string>;

// The line for an event and its fields, without its ending newline.
std::string log_line(const std::string& event, const std::vector<log_field>& fields);

// Writes log_line(...) and a newline to standard error.
void log_event(const std::string& event, const std::vector<log_field>& fields = {});

// Events go unwritten from now on: the admin commands' own output is all a
// keeper at a terminal reads, not the schema steps they apply on the way.
void silence_log();

}  // namespace server
