#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/submission.hpp"

// multipart/form-data as a submission comes, read strictly: the body opens
// with its first delimiter, each part has a Content-Disposition of
// form-data with a name (and perhaps a filename), and the last delimiter
// ends it (a CRLF may follow). Anything else is refused whole.
namespace server {

// Parts past this are refused: a submission has eleven at most.
constexpr std::size_t most_parts = 32;

// The boundary of a Content-Type of multipart/form-data (1 to 70 of the
// characters a boundary may hold), or nothing.
std::optional<std::string> multipart_boundary(std::string_view content_type);

// Appends the body's parts; false when it is malformed.
bool parse_multipart(std::string_view body, const std::string& boundary, std::vector<form_part>& parts);

}  // namespace server
