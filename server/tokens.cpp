#include "server/tokens.hpp"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace server {

std::string new_token() {
    unsigned char bytes[token_bytes];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error(std::string("getrandom: ") + std::strerror(errno));
        }
        got += static_cast<std::size_t>(n);
    }
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

bool token_form(const std::string& text) {
    if (text.size() != 2 * token_bytes) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

std::string token_hash(const std::string& token) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(token.data(), token.size(), digest, &size, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
    return std::string(reinterpret_cast<const char*>(digest), size);
}

std::string keyed_hash(const std::string& key, const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(text.data()),
              text.size(), digest, &size))
        throw std::runtime_error("HMAC-SHA-256 failed");
    return std::string(reinterpret_cast<const char*>(digest), size);
}

std::string bearer_token(const std::string& value) {
    static const std::string scheme = "Bearer ";
    if (value.size() <= scheme.size() || value.compare(0, scheme.size(), scheme) != 0) return {};
    return value.substr(scheme.size());
}

}  // namespace server
