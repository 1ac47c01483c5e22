// Password hashes as the system's crypt(3) makes them (yescrypt, "$y$",
// from libcrypt): a fresh salt per hash, and the check of a password
// against a stored hash. The password is copied only into a bounded buffer
// that is wiped after use.
#pragma once

#include <cstddef>
#include <string_view>

// Longest password taken (the rest would be ignored by nobody: refused).
constexpr size_t PASS_MAX = 255;
// Room for a hash text with its NUL.
constexpr size_t PASS_HASH_SIZE = 128;

// Hashes pass with a fresh random salt into out; false when the system
// cannot (no yescrypt, no random bytes) or pass is empty or too long.
bool pass_hash(std::string_view pass, char* out, size_t capacity);
// True when pass matches hash (compared in constant time).
bool pass_verify(std::string_view pass, const char* hash);
// True when text looks like a hash pass_hash makes: "$y$", printable, no
// blanks, below PASS_HASH_SIZE.
bool pass_hash_well_formed(std::string_view text);
