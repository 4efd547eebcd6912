// data.ini's [SessionKeys] section: which key store the server uses and how it reaches it.
//
//   [SessionKeys]
//   Store=Redis            Memory (the default) or Redis
//   Server=10.0.0.5        Redis: host name or address (required)
//   Port=6379              Redis: port (default 6379)
//   Database=0             Redis: database number (default 0)
//   Password=...           Redis: scrambled like the database credentials (optional)
//   ConnectTimeout=2       Redis: seconds a request may wait for the store (default 2)
//   MaxKeysPerUser=1000    live keys one user and company may hold (default 1000)
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "clock/key_store.h"
#include "clock/session_keys.h"

namespace tallyhand {

struct KeyStoreSettings {
  enum class Kind { Memory, Redis };
  Kind kind = Kind::Memory;
  std::string server;
  std::uint16_t port = 6379;
  int database = 0;
  std::string password;  // unscrambled
  std::chrono::milliseconds connectTimeout{2000};
  std::uint32_t maxKeysPerUser = kDefaultMaxKeysPerUser;
};

// The settings of data.ini's lines; a missing section gives the memory store. Raises
// EConvertError naming the entry when a value is not usable.
KeyStoreSettings ReadKeyStoreSettings(const std::vector<std::string>& dataIniLines);

std::unique_ptr<KeyStore> MakeKeyStore(const KeyStoreSettings& settings);

}  // namespace tallyhand
