#pragma once
#include <string>

#include <nlohmann/json.hpp>

#include "server/http_server.hpp"

// The API's answers: a JSON body with its status, and every error as
// {"error": CODE, "message": TEXT}, with Retry-After when it says when.
namespace server {

void answer(http::response& res, int status, const nlohmann::json& body);
void fail(http::response& res, int status, const std::string& code, const std::string& message, int retry_after = 0);

}  // namespace server
