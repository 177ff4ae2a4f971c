#pragma once
#include <string>

// Players' secrets: 32 random bytes shown once as 64 hex digits, kept only
// as their SHA-256.
namespace server {

constexpr std::size_t token_bytes = 32;

// From the kernel's random source; throws std::runtime_error when it fails.
std::string new_token();

// Whether text has a token's form (64 lower-case hex digits), checked before it is hashed.
bool token_form(const std::string& text);

// The 32 bytes of SHA-256(text).
std::string token_hash(const std::string& token);

// The 32 bytes of HMAC-SHA-256(key, text): a hash that only the key's
// holder can make, so no one can try every input against it.
std::string keyed_hash(const std::string& key, const std::string& text);

// The token of an "Authorization: Bearer TOKEN" value; empty when it has none.
std::string bearer_token(const std::string& header_value);

}  // namespace server
