#pragma once
#include "server/options.hpp"

// The server process from start to stop: signals, the schema brought up to
// date at start, the in-process verification workers, and the HTTP server.
namespace server {

// Migrates the schema, starts the in-process workers and serves the API
// until SIGINT or SIGTERM; returns the exit status.
int serve(const options& o);

// Runs verification workers only (velmora_server --worker) until SIGINT or SIGTERM.
int work(const options& o);

}  // namespace server
