// Session keys kept in Redis, shared by every server of a site: a key one server issued
// is found by all the others at once. Each key is a Redis string that expires by itself;
// each user and company has a list of its keys in issue order, which holds the user to
// its limit of live keys. Every server keeps the keys it has found until their expiry.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "clock/found_key_cache.h"
#include "clock/key_store.h"
#include "clock/redis_connection_pool.h"

namespace tallyhand {

class RedisKeyStore final : public KeyStore {
 public:
  // maxKeysPerUser: live keys one user and company may hold (at least 1).
  RedisKeyStore(RedisEndpoint endpoint, std::uint32_t maxKeysPerUser);

  bool Add(const std::string& keyText, std::int32_t uid, std::int32_t cid) override;
  bool Check(std::string_view keyText, std::int32_t& uid, std::int32_t& cid) override;
  std::int32_t Count() override;
  void Clear() override;

 private:
  [[noreturn]] void FailOnReply(std::string_view command, const RedisReply& reply) const;

  RedisConnectionPool pool_;
  const std::string maxKeysPerUser_;
  FoundKeyCache found_;
};

// Names of the store's entries in Redis.
std::string RedisKeyName(std::string_view keyText);
std::string RedisUserKeysName(std::int32_t uid, std::int32_t cid);

}  // namespace tallyhand
