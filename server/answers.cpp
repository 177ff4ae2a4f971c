#include "server/answers.hpp"

namespace server {

void answer(http::response& res, int status, const nlohmann::json& body) {
    res.status = status;
    res.set_content(body.dump(), "application/json");
}

void fail(http::response& res, int status, const std::string& code, const std::string& message, int retry_after) {
    if (retry_after > 0) res.set_header("Retry-After", std::to_string(retry_after));
    answer(res, status, {{"error", code}, {"message", message}});
    res.error = code;
}

}  // namespace server
