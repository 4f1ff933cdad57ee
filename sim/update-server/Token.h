// Signed three-part device tokens: base64url(header).base64url(payload).base64url(HMAC-SHA256).
#pragma once

#include <string>

std::string Base64Url(const std::string& bytes);
std::string SignToken(const std::string& payloadJson, const std::string& key);
// Base64 with padding, no line breaks (the BIRD download encoding).
std::string Base64(const std::string& bytes);
