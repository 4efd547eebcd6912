#include "clock/key_store_settings.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <optional>

#include "clock/memory_key_store.h"
#include "clock/redis_key_store.h"
#include "data/data_ini.h"
#include "data/mainDM.h"
#include "platform/ascii_case.h"

namespace tallyhand {
namespace {

// A longer wait would hold a request thread as long; a site whose store answers that
// slowly has a problem to fix, not to wait out.
constexpr double kMaxConnectTimeoutSeconds = 60;
constexpr std::uint64_t kMaxKeysPerUserLimit = 10'000'000;

[[noreturn]] void Refuse(std::string_view name, std::string_view value, std::string_view expected) {
  throw EConvertError("[" + std::string(kSessionKeysSection) + "] " + std::string(name) + "=" +
                      std::string(value) + ": " + std::string(expected));
}

std::uint64_t WholeNumber(const ConnectionDef& section, std::string_view name, std::uint64_t low,
                          std::uint64_t high, std::uint64_t fallback) {
  if (!section.Has(name)) return fallback;
  const std::string text = section.Get(name);
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < low ||
      value > high) {
    Refuse(name, text, "expected a whole number from " + std::to_string(low) + " to " + std::to_string(high));
  }
  return value;
}

std::chrono::milliseconds Seconds(const ConnectionDef& section, std::string_view name,
                                  std::chrono::milliseconds fallback) {
  if (!section.Has(name)) return fallback;
  const std::string text = section.Get(name);
  double seconds = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds,
                                         std::chars_format::fixed);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || !(seconds >= 0.001) ||
      seconds > kMaxConnectTimeoutSeconds) {
    Refuse(name, text, "expected seconds from 0.001 to 60, such as 2 or 0.5");
  }
  return std::chrono::milliseconds(static_cast<std::int64_t>(std::llround(seconds * 1000)));
}

}  // namespace

KeyStoreSettings ReadKeyStoreSettings(const std::vector<std::string>& dataIniLines) {
  KeyStoreSettings settings;
  const std::optional<ConnectionDef> section = FindIniSection(dataIniLines, kSessionKeysSection);
  if (!section) return settings;
  settings.maxKeysPerUser = static_cast<std::uint32_t>(
      WholeNumber(*section, "MaxKeysPerUser", 1, kMaxKeysPerUserLimit, kDefaultMaxKeysPerUser));
  const std::string store = section->Get("Store", "Memory");
  if (EqualsIgnoringAsciiCase(store, "Memory")) return settings;
  if (!EqualsIgnoringAsciiCase(store, "Redis")) Refuse("Store", store, "expected Memory or Redis");

  settings.kind = KeyStoreSettings::Kind::Redis;
  settings.server = section->Get("Server");
  if (settings.server.empty()) Refuse("Server", "", "the Redis store needs the server's name or address");
  settings.port = static_cast<std::uint16_t>(WholeNumber(*section, "Port", 1, 65535, settings.port));
  settings.database = static_cast<int>(
      WholeNumber(*section, "Database", 0, std::numeric_limits<int>::max(), 0));
  settings.password = TMainDM::LoadFromNVString(section->Get("Password"), kScrambleStartKey);
  settings.connectTimeout = Seconds(*section, "ConnectTimeout", settings.connectTimeout);
  return settings;
}

std::unique_ptr<KeyStore> MakeKeyStore(const KeyStoreSettings& settings) {
  if (settings.kind == KeyStoreSettings::Kind::Memory) {
    return std::make_unique<MemoryKeyStore>(settings.maxKeysPerUser);
  }
  RedisEndpoint endpoint{settings.server, settings.port, settings.database, settings.password,
                         settings.connectTimeout};
  return std::make_unique<RedisKeyStore>(std::move(endpoint), settings.maxKeysPerUser);
}

}  // namespace tallyhand
