// data.ini's [SessionKeys] section: the store chosen, its defaults, the scrambled
// password, and the values refused with a message naming the entry.
#include "clock/key_store_settings.h"

#include <gtest/gtest.h>

#include "data/data_ini.h"
#include "data/mainDM.h"
#include "platform/exception.h"

namespace tallyhand {
namespace {

std::vector<std::string> DataIni(std::vector<std::string> sessionKeys) {
  std::vector<std::string> lines = {"[BaseGlob]", "DriverID=SQLite", "Database=tallyhand.db"};
  lines.insert(lines.end(), sessionKeys.begin(), sessionKeys.end());
  return lines;
}

TEST(KeyStoreSettings, MissingSectionOrMemoryGivesTheMemoryStore) {
  for (const auto& lines : {DataIni({}), DataIni({"[SessionKeys]"}), DataIni({"[sessionkeys]", "Store = memory"})}) {
    const KeyStoreSettings settings = ReadKeyStoreSettings(lines);
    EXPECT_EQ(settings.kind, KeyStoreSettings::Kind::Memory);
    EXPECT_EQ(settings.maxKeysPerUser, kDefaultMaxKeysPerUser);
  }
  EXPECT_EQ(ReadKeyStoreSettings(DataIni({"[SessionKeys]", "MaxKeysPerUser=25"})).maxKeysPerUser, 25u);
}

TEST(KeyStoreSettings, RedisWithEveryEntryAndWithTheDefaults) {
  const KeyStoreSettings full = ReadKeyStoreSettings(DataIni(
      {"[SessionKeys]", "Store=Redis", "Server=10.0.0.5", "Port=6380", "Database=3",
       "Password=" + ScrambleNVString("s3cret=;x", kScrambleStartKey), "ConnectTimeout=0.5",
       "MaxKeysPerUser=50"}));
  EXPECT_EQ(full.kind, KeyStoreSettings::Kind::Redis);
  EXPECT_EQ(full.server, "10.0.0.5");
  EXPECT_EQ(full.port, 6380);
  EXPECT_EQ(full.database, 3);
  EXPECT_EQ(full.password, "s3cret=;x");
  EXPECT_EQ(full.connectTimeout, std::chrono::milliseconds(500));
  EXPECT_EQ(full.maxKeysPerUser, 50u);

  const KeyStoreSettings plain = ReadKeyStoreSettings(DataIni({"[SessionKeys]", "Store=REDIS", "Server=cache"}));
  EXPECT_EQ(plain.port, 6379);
  EXPECT_EQ(plain.database, 0);
  EXPECT_EQ(plain.password, "");
  EXPECT_EQ(plain.connectTimeout, std::chrono::seconds(2));
  EXPECT_EQ(plain.maxKeysPerUser, kDefaultMaxKeysPerUser);
}

TEST(KeyStoreSettings, UnusableValuesAreRefusedNamingTheEntry) {
  struct Case {
    std::string line;
    std::string message;
  };
  const Case cases[] = {
      {"Store=Memcached", "[SessionKeys] Store=Memcached: expected Memory or Redis"},
      {"Server=", "[SessionKeys] Server=: the Redis store needs"},
      {"Port=0", "[SessionKeys] Port=0: expected a whole number from 1 to 65535"},
      {"Port=70000", "[SessionKeys] Port=70000"},
      {"Port=63 79", "[SessionKeys] Port=63 79"},
      {"Database=-1", "[SessionKeys] Database=-1"},
      {"ConnectTimeout=0", "[SessionKeys] ConnectTimeout=0: expected seconds"},
      {"ConnectTimeout=2s", "[SessionKeys] ConnectTimeout=2s"},
      {"ConnectTimeout=61", "[SessionKeys] ConnectTimeout=61"},
      {"MaxKeysPerUser=0", "[SessionKeys] MaxKeysPerUser=0: expected a whole number from 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    std::vector<std::string> section = {"[SessionKeys]", "Store=Redis", "Server=cache"};
    if (c.line.starts_with("Store=")) section[1] = c.line;
    else if (c.line.starts_with("Server=")) section[2] = c.line;
    else section.push_back(c.line);
    try {
      ReadKeyStoreSettings(DataIni(section));
      ADD_FAILURE() << "accepted";
    } catch (const EConvertError& e) {
      EXPECT_NE(e.Message().find(c.message), std::string::npos) << e.Message();
    }
  }
}

}  // namespace
}  // namespace tallyhand
