#include "Token.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <vector>

std::string Base64(const std::string& bytes) {
    std::vector<unsigned char> out(4 * ((bytes.size() + 2) / 3) + 1);
    const int n = EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    return std::string(reinterpret_cast<const char*>(out.data()), static_cast<size_t>(n));
}

std::string Base64Url(const std::string& bytes) {
    std::string text = Base64(bytes);
    while (!text.empty() && text.back() == '=') text.pop_back();
    for (char& c : text) {
        if (c == '+') c = '-';
        else if (c == '/') c = '_';
    }
    return text;
}

std::string SignToken(const std::string& payloadJson, const std::string& key) {
    const std::string signingInput = Base64Url(R"({"alg":"HS256","typ":"JWT"})") + "." + Base64Url(payloadJson);
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int macLength = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(signingInput.data()), signingInput.size(), mac, &macLength);
    return signingInput + "." + Base64Url(std::string(reinterpret_cast<const char*>(mac), macLength));
}
