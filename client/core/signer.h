#pragma once

#include <string>

// Returns the text that gets signed: "TAVRENSIL/1\n", a, "\n", b, "\n", c,
// byte for byte, with no escaping and no trailing line feed.
std::string SigningText(const std::string& a, const std::string& b, const std::string& c);

// Returns the request signature: HMAC-SHA-256 of SigningText(a, b, c) under
// the built-in client key, as 64 lower-case hex characters. Thread-safe.
std::string SignRequest(const std::string& a, const std::string& b, const std::string& c);
