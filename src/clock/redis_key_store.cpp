#include "clock/redis_key_store.h"

#include <hiredis/hiredis.h>

#include <algorithm>
#include <charconv>
#include <limits>
#include <optional>

#include "clock/session_keys.h"
#include "log/error_log.h"

namespace tallyhand {
namespace {

constexpr std::string_view kKeyPrefix = "tallyhand:key:";
constexpr std::string_view kUserKeysPrefix = "tallyhand:user:";

// Redis keeps an entry an hour longer than the key lives, so that a step of the local
// clock back by up to an hour (the end of daylight saving time) lengthens a key's life
// as it does in the memory store; the expiry written in the entry decides.
constexpr long long kEntryLifetimeMs = 15 * 60 * 1000 + 60 * 60 * 1000;

// A server keeps at most this many found keys: many times what a site with thousands
// of phones has live, and a bound on what lookups of one account's flood of keys hold.
constexpr std::size_t kMaxFoundKeys = 250'000;

// Records the key unless its text is taken, appends it to its user's list, and lets the
// user's oldest keys give way past the limit. One script, so that concurrent sign-ins
// on several servers cannot leave a user over the limit.
//   KEYS[1] the key's entry, KEYS[2] the user's list
//   ARGV[1] the entry's value, ARGV[2] its lifetime in ms, ARGV[3] the limit,
//   ARGV[4] the key text, ARGV[5] the prefix of key entries
constexpr std::string_view kAddScript = R"lua(
if not redis.call('SET', KEYS[1], ARGV[1], 'NX', 'PX', ARGV[2]) then return 0 end
local count = redis.call('RPUSH', KEYS[2], ARGV[4])
redis.call('PEXPIRE', KEYS[2], ARGV[2])
local limit = tonumber(ARGV[3])
while count > limit do
  redis.call('DEL', ARGV[5] .. redis.call('LPOP', KEYS[2]))
  count = count - 1
end
return 1
)lua";

// The entry's value: user id, company number and expiry (a date-time number written so
// that it reads back exactly).
std::string EntryValue(std::int32_t uid, std::int32_t cid, TDateTime expiry) {
  char expiryText[32];
  const auto written = std::to_chars(std::begin(expiryText), std::end(expiryText), expiry);
  return std::to_string(uid) + " " + std::to_string(cid) + " " + std::string(expiryText, written.ptr);
}

struct Entry {
  std::int32_t uid;
  std::int32_t cid;
  TDateTime expiry;
};

// Reads a value EntryValue wrote; anything else (another program's entry) is nullopt.
std::optional<Entry> ParseEntry(std::string_view text) {
  Entry entry{};
  const char* at = text.data();
  const char* end = text.data() + text.size();
  const auto number = [&](auto& value, bool last) {
    const auto [next, ec] = std::from_chars(at, end, value);
    if (ec != std::errc() || (last ? next != end : next == end || *next != ' ')) return false;
    at = last ? next : next + 1;
    return true;
  };
  if (!number(entry.uid, false) || !number(entry.cid, false) || !number(entry.expiry, true)) {
    return std::nullopt;
  }
  return entry;
}

}  // namespace

std::string RedisKeyName(std::string_view keyText) { return std::string(kKeyPrefix) + std::string(keyText); }

std::string RedisUserKeysName(std::int32_t uid, std::int32_t cid) {
  return std::string(kUserKeysPrefix) + std::to_string(cid) + ":" + std::to_string(uid);
}

RedisKeyStore::RedisKeyStore(RedisEndpoint endpoint, std::uint32_t maxKeysPerUser)
    : pool_(std::move(endpoint)),
      maxKeysPerUser_(std::to_string(std::max(maxKeysPerUser, 1u))),
      found_(kMaxFoundKeys) {}

bool RedisKeyStore::Add(const std::string& keyText, std::int32_t uid, std::int32_t cid) {
  const std::string entryName = RedisKeyName(keyText);
  const std::string userKeysName = RedisUserKeysName(uid, cid);
  const std::string value = EntryValue(uid, cid, Now() + kKeyLifetime);
  const std::string lifetime = std::to_string(kEntryLifetimeMs);
  const RedisReply reply = pool_.Run({"EVAL", kAddScript, "2", entryName, userKeysName, value, lifetime,
                                      maxKeysPerUser_, keyText, kKeyPrefix});
  if (reply->type != REDIS_REPLY_INTEGER) FailOnReply("EVAL", reply);
  return reply->integer == 1;
}

bool RedisKeyStore::Check(std::string_view keyText, std::int32_t& uid, std::int32_t& cid) {
  // Only texts that could have been issued reach the store.
  if (!IsKeyText(keyText)) return false;
  if (const auto owner = found_.Find(keyText, Now())) {
    uid = owner->uid;
    cid = owner->cid;
    return true;
  }
  const std::string entryName = RedisKeyName(keyText);
  const RedisReply reply = pool_.Run({"GET", entryName});
  if (reply->type == REDIS_REPLY_NIL) return false;
  if (reply->type != REDIS_REPLY_STRING) FailOnReply("GET", reply);
  const std::optional<Entry> entry = ParseEntry(std::string_view(reply->str, reply->len));
  if (!entry) {
    EventLog().AddToLog("Session key store: unreadable entry " + entryName);
    return false;
  }
  // Read after the answer, as the memory store reads the clock at the lookup.
  const TDateTime now = Now();
  if (!(now < entry->expiry)) return false;
  found_.Keep(keyText, {entry->uid, entry->cid}, entry->expiry, now);
  uid = entry->uid;
  cid = entry->cid;
  return true;
}

std::int32_t RedisKeyStore::Count() {
  return static_cast<std::int32_t>(std::min<std::size_t>(found_.Size(), std::numeric_limits<std::int32_t>::max()));
}

void RedisKeyStore::Clear() { found_.Clear(); }

void RedisKeyStore::FailOnReply(std::string_view command, const RedisReply& reply) const {
  std::string what = reply->type == REDIS_REPLY_ERROR ? std::string(reply->str, reply->len)
                                                       : "an unexpected reply";
  throw EKeyStoreUnavailable("Session key store (Redis) refused " + std::string(command) + ": " + what);
}

}  // namespace tallyhand
