#pragma once
#include "server/options.hpp"

namespace server {

// Migrates the schema, starts the in-process workers and serves the API
// until SIGINT or SIGTERM; returns the exit status.
int serve(const options& o);

// Runs verification workers only (velmora_server --worker) until SIGINT or SIGTERM.
int work(const options& o);

}  // namespace server
