#pragma once
#include <string>

namespace vaz {

// The folder of the running program, links to it resolved, so each program
// finds what lies beside it wherever it was started from; empty when the
// system does not say.
std::string executable_dir();

}  // namespace vaz
