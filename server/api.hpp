#pragma once
#include "server/http_server.hpp"
#include "server/options.hpp"

namespace server {

// The API's routes on the databases of `o`, as one table: what the HTTP
// server asks of each request's head, and the handlers it runs.
http::router make_api(const options& o);

}  // namespace server
