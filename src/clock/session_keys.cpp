#include "clock/session_keys.h"

#include <sys/random.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "clock/memory_key_store.h"
#include "clock/rows_json.h"
#include "platform/exception.h"

namespace tallyhand {

namespace {

// The store in use. Replaced only while no request runs; the atomic keeps the hand-over
// well defined all the same.
class ActiveStore {
 public:
  ActiveStore() : owned_(std::make_unique<MemoryKeyStore>(kDefaultMaxKeysPerUser)), current_(owned_.get()) {}
  KeyStore& Get() const { return *current_.load(std::memory_order_acquire); }
  std::unique_ptr<KeyStore> Replace(std::unique_ptr<KeyStore> store) {
    std::lock_guard lock(mutex_);
    if (!store) store = std::make_unique<MemoryKeyStore>(kDefaultMaxKeysPerUser);
    current_.store(store.get(), std::memory_order_release);
    std::swap(owned_, store);
    return store;
  }

 private:
  std::mutex mutex_;
  std::unique_ptr<KeyStore> owned_;
  std::atomic<KeyStore*> current_;
};

ActiveStore& Store() {
  static ActiveStore store;
  return store;
}

// A shared store refuses a text a live key already has; a fresh draw is taken then.
// Refusals of several draws in a row mean the letters are not random, not bad luck.
constexpr int kKeyTextAttempts = 3;

class TestLetterSource {
 public:
  bool Installed() const { return installed_.load(std::memory_order_acquire); }

  void Install(std::function<int()> draw) {
    std::lock_guard lock(mutex_);
    draw_ = std::move(draw);
    installed_.store(static_cast<bool>(draw_), std::memory_order_release);
  }

  // Draws under the lock: a test source need not be thread-safe.
  bool TryFill(std::string& key) {
    std::lock_guard lock(mutex_);
    if (!draw_) return false;
    while (key.size() < kKeyLength) {
      const int index = draw_();
      if (index < 0 || index >= kKeyAlphabetSize) {
        throw std::out_of_range("key letter source gave an index outside 0 to 19");
      }
      key.push_back(static_cast<char>('A' + index));
    }
    return true;
  }

 private:
  std::atomic<bool> installed_{false};
  std::mutex mutex_;
  std::function<int()> draw_;
};

TestLetterSource& TestSource() {
  static TestLetterSource source;
  return source;
}

void FillFromOperatingSystem(std::span<unsigned char> buffer) {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    const ssize_t got = getrandom(buffer.data() + filled, buffer.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw Exception(std::string("Could not draw random bytes: ") + std::strerror(errno));
    }
    filled += static_cast<std::size_t>(got);
  }
}

}  // namespace

bool AppendKeyLetters(std::span<const unsigned char> randomBytes, std::string& key,
                      std::size_t length) {
  // 240 is the largest multiple of 20 not above 256: accepting only bytes below it gives
  // every letter the same 12 bytes.
  constexpr unsigned kAccepted = 256 - 256 % kKeyAlphabetSize;
  for (unsigned char byte : randomBytes) {
    if (key.size() >= length) break;
    if (byte >= kAccepted) continue;
    key.push_back(static_cast<char>('A' + byte % kKeyAlphabetSize));
  }
  return key.size() >= length;
}

std::string GenerateKeyText() {
  std::string key;
  key.reserve(kKeyLength);
  if (TestSource().Installed() && TestSource().TryFill(key)) return key;
  // One draw covers a key unless more than 16 of 48 bytes are rejected (rare).
  unsigned char bytes[48];
  do {
    FillFromOperatingSystem(bytes);
  } while (!AppendKeyLetters(bytes, key));
  return key;
}

bool IsKeyText(std::string_view text) {
  return text.size() == kKeyLength &&
         std::ranges::all_of(text, [](char c) { return c >= 'A' && c < 'A' + kKeyAlphabetSize; });
}

std::string CreateKey(std::int32_t uid, std::int32_t cid) {
  for (int attempt = 0; attempt < kKeyTextAttempts; ++attempt) {
    std::string key = GenerateKeyText();
    if (Store().Get().Add(key, uid, cid)) return key;
  }
  throw EKeyStoreUnavailable("The session key store refused every key text drawn");
}

std::string KeyNotIssuedText(const EKeyStoreUnavailable& error) {
  return CleanErrorText("No session key could be issued. " + error.Message());
}

bool CheckKey(std::string_view key, std::int32_t& uid, std::int32_t& cid) {
  return Store().Get().Check(key, uid, cid);
}

std::int32_t KeyCount() { return Store().Get().Count(); }

std::unique_ptr<KeyStore> UseKeyStore(std::unique_ptr<KeyStore> store) {
  return Store().Replace(std::move(store));
}

void SetKeyLetterSourceForTesting(std::function<int()> drawIndex0to19) {
  TestSource().Install(std::move(drawIndex0to19));
}

void ClearKeysForTesting() { Store().Get().Clear(); }

}  // namespace tallyhand
