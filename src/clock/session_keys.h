// The process-wide table of session keys: 32 letters "A" to "T" standing for a signed-in
// user and company for 15 minutes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "platform/datetime.h"

namespace tallyhand {

struct Tkey {
  TDateTime ExpiryDate;  // the instant after which the key is dead
  std::string Key;
  std::int32_t Uid;
  std::int32_t cid;
};

inline constexpr std::size_t kKeyLength = 32;
inline constexpr int kKeyAlphabetSize = 20;  // "A" to "T"
inline constexpr TDateTime kKeyLifetime = 15.0 / kMinutesPerDay;

// 32 letters, each drawn uniformly from "A" to "T" (cryptographic source unless a test
// source is installed).
std::string GenerateKeyText();
// Issues a key for the user and company, live for 15 minutes from now.
std::string CreateKey(std::int32_t uid, std::int32_t cid);
// True when a live entry has exactly this text; then hands out its user and company.
// Drops expired entries as it goes. uid and cid are written only on success.
bool CheckKey(std::string_view key, std::int32_t& uid, std::int32_t& cid);
// Entries in the table, expired ones not yet dropped included.
std::int32_t KeyCount();

// Turns random bytes into key letters without modulo bias: bytes 240 to 255 are skipped,
// the rest map to byte % 20. Appends until key holds `length` letters or the bytes run
// out; returns whether the key is complete.
bool AppendKeyLetters(std::span<const unsigned char> randomBytes, std::string& key,
                      std::size_t length = kKeyLength);

// Test hooks: a replacement letter source (each call returns 0 to 19; an empty function
// restores the cryptographic source), and emptying the table.
void SetKeyLetterSourceForTesting(std::function<int()> drawIndex0to19);
void ClearKeysForTesting();

}  // namespace tallyhand
