#pragma once
#include <cstdint>
#include <string>

// Text put on the desktop's clipboard by xclip or xsel, whichever is on the
// PATH, started without a shell and handed the text on its standard input.
// The tool keeps serving the clipboard after the game ends, so it is left
// running apart from the game (a grandchild), never waited for.
// False when neither tool is there or it cannot be started.
bool copy_to_clipboard(const std::string& text);

// A watched run's link at `update` (whole seconds), from the link -link=
// gave ("velmora://HOST:PORT/sessions/ID", or the server's http(s) address).
std::string link_at_moment(const std::string& link, std::uint32_t update);
