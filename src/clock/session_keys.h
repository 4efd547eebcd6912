// The session keys: 32 letters "A" to "T" standing for a signed-in user and company for
// 15 minutes, kept by the key store in use (this process's memory unless a shared store
// is installed).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "clock/key_store.h"
#include "platform/datetime.h"

namespace tallyhand {

inline constexpr std::size_t kKeyLength = 32;

// A key's text held inline (no heap block per key): up to kKeyLength characters, the
// unused rest zero. Issued keys fill all of it; an empty one marks an entry taken out.
class KeyText {
 public:
  KeyText() = default;
  // Keeps the first kKeyLength characters, as the table stores them.
  explicit KeyText(std::string_view text) {
    std::copy_n(text.begin(), std::min(text.size(), letters_.size()), letters_.begin());
  }
  std::string_view View() const {
    return {letters_.data(), static_cast<std::size_t>(std::ranges::find(letters_, '\0') - letters_.begin())};
  }
  bool empty() const { return letters_[0] == '\0'; }
  // Exact comparison, whatever bytes text holds.
  friend bool operator==(const KeyText& key, std::string_view text) {
    return text.size() <= kKeyLength && std::string_view(key.letters_.data(), text.size()) == text &&
           (text.size() == kKeyLength || key.letters_[text.size()] == '\0');
  }

 private:
  std::array<char, kKeyLength> letters_{};
};

struct Tkey {
  TDateTime ExpiryDate;  // the instant after which the key is dead
  KeyText Key;
  std::int32_t Uid;
  std::int32_t cid;
};

inline constexpr int kKeyAlphabetSize = 20;  // "A" to "T"
inline constexpr TDateTime kKeyLifetime = 15.0 / kMinutesPerDay;
// Live keys one user and company may hold unless configured otherwise: far above what a
// phone signing in every few minutes uses, low enough that an account signing in in a
// loop cannot fill memory.
inline constexpr std::uint32_t kDefaultMaxKeysPerUser = 1000;

// True for a text that could have been issued: exactly kKeyLength letters "A" to "T".
bool IsKeyText(std::string_view text);

// 32 letters, each drawn uniformly from "A" to "T" (cryptographic source unless a test
// source is installed).
std::string GenerateKeyText();
// Issues a key for the user and company, live for 15 minutes from now. Raises
// EKeyStoreUnavailable when the store cannot record it.
std::string CreateKey(std::int32_t uid, std::int32_t cid);
// True when a live entry has exactly this text; then hands out its user and company.
// Drops expired entries as it goes. uid and cid are written only on success. Raises
// EKeyStoreUnavailable when the store cannot be asked.
bool CheckKey(std::string_view key, std::int32_t& uid, std::int32_t& cid);
// The error answer's text when no key could be issued, safe inside the envelope.
std::string KeyNotIssuedText(const EKeyStoreUnavailable& error);
// Entries in the table, expired ones not yet dropped included (for a shared store: the
// keys this process has found and keeps).
std::int32_t KeyCount();

// Installs the store that CreateKey and CheckKey use from now on and returns the one
// used before. Only while no request runs (at start, at unload, between tests).
std::unique_ptr<KeyStore> UseKeyStore(std::unique_ptr<KeyStore> store);

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
