// The Redis key store against the real Redis server that the test command starts: keys
// shared by several servers with exactly the memory store's meaning, entries that
// expire by themselves, the cache of found keys, the per-user limit, and a store that
// cannot be reached or does not answer.
#include "clock/redis_key_store.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "clock/session_keys.h"
#include "support/redis_test_server.h"

namespace tallyhand {
namespace {

using namespace std::chrono_literals;
using testsupport::RedisTestServer;

constexpr TDateTime kMinute = 1.0 / kMinutesPerDay;
constexpr TDateTime kTen = 43874.0 + 10.0 / 24.0;

// A listening socket on loopback that never accepts: connections complete in the
// kernel, and nothing ever answers. Closed, its port refuses connections.
class SilentPort {
 public:
  SilentPort() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(fd_, 16) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "cannot make a listening socket";
    }
    port_ = ntohs(address.sin_port);
  }
  ~SilentPort() { Close(); }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  std::uint16_t Port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

class RedisKeyStoreTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // A connection the server dropped must fail the write, not end the process.
    ::signal(SIGPIPE, SIG_IGN);
  }
  void SetUp() override {
    std::string why;
    const auto settings = testsupport::ReadRedisSettings(why);
    ASSERT_TRUE(settings) << why;
    server_ = std::make_unique<RedisTestServer>(*settings, false);
    SetClockForTesting([this] { return clock_.load(); });
  }
  void TearDown() override {
    SetClockForTesting({});
    SetKeyLetterSourceForTesting({});
    UseKeyStore(nullptr);
  }

  RedisEndpoint Endpoint(int database = 0) const {
    const auto& s = server_->Settings();
    return RedisEndpoint{s.host, server_->Port(), database, s.password, 2s};
  }
  // A server of the site: a store of its own on the shared Redis.
  std::unique_ptr<RedisKeyStore> Server(std::uint32_t maxKeysPerUser = kDefaultMaxKeysPerUser,
                                        int database = 0) const {
    return std::make_unique<RedisKeyStore>(Endpoint(database), maxKeysPerUser);
  }
  // User ids no other test process uses on the shared server.
  static std::int32_t UniqueUser() {
    static std::atomic<int> next{0};
    return static_cast<std::int32_t>(::getpid() % 100000 * 100 + next++);
  }
  static std::string Issue(KeyStore& store, std::int32_t uid, std::int32_t cid) {
    std::string key = GenerateKeyText();
    EXPECT_TRUE(store.Add(key, uid, cid));
    return key;
  }
  static bool Found(KeyStore& store, std::string_view key, std::int32_t uid, std::int32_t cid) {
    std::int32_t foundUid = -1, foundCid = -1;
    const bool found = store.Check(key, foundUid, foundCid);
    EXPECT_EQ(found, foundUid != -1) << "ids written without a match";
    return found && foundUid == uid && foundCid == cid;
  }
  bool Exists(const std::string& name, int database = 0) const {
    return server_->Integer({"EXISTS", name}, database) == 1;
  }

  std::unique_ptr<RedisTestServer> server_;
  std::atomic<TDateTime> clock_{kTen};
};

TEST_F(RedisKeyStoreTest, KeyIssuedByOneServerIsFoundByTheOthersAndAfterARestart) {
  auto first = Server();
  auto second = Server();
  const std::int32_t uid = UniqueUser();
  const std::string key = Issue(*first, uid, 3);
  EXPECT_TRUE(Found(*second, key, uid, 3));
  auto restarted = Server();
  EXPECT_TRUE(Found(*restarted, key, uid, 3));

  std::string lower = key;
  for (char& c : lower) c = static_cast<char>(c - 'A' + 'a');
  for (const std::string& wrong : {lower, key + " ", key.substr(0, 31), key + "A", std::string(32, 'U'),
                                   key.substr(0, 31) + '\0'}) {
    EXPECT_FALSE(Found(*second, wrong, uid, 3)) << '"' << wrong << '"';
  }
}

// Fifteen minutes from issue by the issuing server's clock, however often the key is
// used; Redis lets the entry go by itself afterwards.
TEST_F(RedisKeyStoreTest, LiveFifteenMinutesNeverExtendedThenLeavesByItself) {
  auto issuer = Server();
  auto other = Server();
  const std::int32_t uid = UniqueUser();
  const std::string key = Issue(*issuer, uid, 1);
  for (int minute = 0; minute <= 14; ++minute) {
    clock_ = kTen + minute * kMinute;
    ASSERT_TRUE(Found(*other, key, uid, 1)) << "minute " << minute;
  }
  clock_ = kTen + kKeyLifetime;  // exactly the expiry: dead
  EXPECT_FALSE(Found(*other, key, uid, 1));
  clock_ = kTen + 16 * kMinute;
  EXPECT_FALSE(Found(*other, key, uid, 1));
  EXPECT_FALSE(Found(*Server(), key, uid, 1));

  for (const std::string& name : {RedisKeyName(key), RedisUserKeysName(uid, 1)}) {
    const long long ttl = server_->Integer({"PTTL", name});
    EXPECT_GT(ttl, 15 * 60 * 1000) << name;
    EXPECT_LE(ttl, 75 * 60 * 1000) << name;
  }
}

// A found key is kept until its expiry (it cannot be extended or revoked); a key the
// server does not hold is always asked for, so one issued a moment ago is found.
TEST_F(RedisKeyStoreTest, FoundKeysAreKeptAndUnknownKeysAlwaysAskedFor) {
  auto issuer = Server();
  auto other = Server();
  const std::int32_t uid = UniqueUser();
  const std::string kept = Issue(*issuer, uid, 1);
  EXPECT_TRUE(Found(*other, kept, uid, 1));
  EXPECT_EQ(other->Count(), 1);
  server_->Command({"DEL", RedisKeyName(kept)});
  EXPECT_TRUE(Found(*other, kept, uid, 1));
  EXPECT_FALSE(Found(*Server(), kept, uid, 1));

  const std::string later = GenerateKeyText();
  EXPECT_FALSE(Found(*other, later, uid, 1));
  ASSERT_TRUE(issuer->Add(later, uid, 1));
  EXPECT_TRUE(Found(*other, later, uid, 1));
  clock_ = kTen + 16 * kMinute;
  EXPECT_FALSE(Found(*other, kept, uid, 1));
}

TEST_F(RedisKeyStoreTest, TextOfALiveKeyIsNotIssuedTwice) {
  auto store = Server();
  const std::int32_t owner = UniqueUser();
  const std::string key = Issue(*store, owner, 1);
  EXPECT_FALSE(store->Add(key, UniqueUser(), 2));
  EXPECT_TRUE(Found(*Server(), key, owner, 1));

  // CreateKey draws again when a text is taken.
  UseKeyStore(Server());
  const std::string fresh = std::string(31, 'A') + "B";
  std::string next = key;
  int drawn = 0;
  SetKeyLetterSourceForTesting([&] {
    if (drawn == 32) next = fresh;
    return next[static_cast<std::size_t>(drawn++ % 32)] - 'A';
  });
  server_->Command({"DEL", RedisKeyName(fresh)});
  EXPECT_EQ(CreateKey(owner, 1), fresh);
}

TEST_F(RedisKeyStoreTest, PastTheLimitTheUsersOldestKeysGiveWay) {
  auto store = Server(3);
  const std::int32_t uid = UniqueUser();
  const std::int32_t bystander = UniqueUser();
  const std::string before = Issue(*store, bystander, 1);
  std::vector<std::string> keys;
  for (int i = 0; i < 5; ++i) keys.push_back(Issue(*store, uid, 1));
  const std::string sameUserOtherCompany = Issue(*store, uid, 2);
  const std::string after = Issue(*store, bystander, 1);

  auto fresh = Server(3);
  EXPECT_FALSE(Found(*fresh, keys[0], uid, 1));
  EXPECT_FALSE(Found(*fresh, keys[1], uid, 1));
  for (std::size_t i = 2; i < 5; ++i) EXPECT_TRUE(Found(*fresh, keys[i], uid, 1)) << i;
  EXPECT_TRUE(Found(*fresh, sameUserOtherCompany, uid, 2));
  EXPECT_TRUE(Found(*fresh, before, bystander, 1));
  EXPECT_TRUE(Found(*fresh, after, bystander, 1));
  EXPECT_EQ(server_->Integer({"LLEN", RedisUserKeysName(uid, 1)}), 3);
}

// One account signing in thousands of times holds no more entries in Redis than its
// limit, and another user's key still works.
TEST_F(RedisKeyStoreTest, SignInFloodOfOneAccountHoldsOnlyItsLimitInRedis) {
  constexpr std::uint32_t kLimit = 20;
  auto store = Server(kLimit);
  const std::int32_t uid = UniqueUser();
  const std::int32_t bystander = UniqueUser();
  const std::string other = Issue(*store, bystander, 7);
  std::vector<std::string> keys;
  for (int i = 0; i < 3000; ++i) keys.push_back(Issue(*store, uid, 7));
  std::size_t held = 0;
  for (const std::string& key : keys) held += Exists(RedisKeyName(key));
  EXPECT_EQ(held, kLimit);
  for (std::size_t i = keys.size() - kLimit; i < keys.size(); ++i) EXPECT_TRUE(Exists(RedisKeyName(keys[i])));
  EXPECT_EQ(server_->Integer({"LLEN", RedisUserKeysName(uid, 7)}), kLimit);
  EXPECT_TRUE(Found(*Server(), other, bystander, 7));
}

TEST_F(RedisKeyStoreTest, PasswordAndDatabaseAreThoseConfigured) {
  auto store = Server(kDefaultMaxKeysPerUser, 5);
  const std::int32_t uid = UniqueUser();
  const std::string key = Issue(*store, uid, 1);
  EXPECT_TRUE(Exists(RedisKeyName(key), 5));
  EXPECT_FALSE(Exists(RedisKeyName(key), 0));
  EXPECT_FALSE(Found(*Server(), key, uid, 1));

  RedisEndpoint wrong = Endpoint();
  wrong.password = "not the password";
  RedisKeyStore refused(wrong, kDefaultMaxKeysPerUser);
  try {
    refused.Add(GenerateKeyText(), uid, 1);
    ADD_FAILURE() << "a wrong password was accepted";
  } catch (const EKeyStoreUnavailable& e) {
    EXPECT_NE(e.Message().find("Session key store (Redis) unreachable: AUTH refused"), std::string::npos)
        << e.Message();
  }
}

// A store that refuses connections, or accepts them and never answers, fails every
// operation with the store named, within the timeout; never as an unknown key.
TEST_F(RedisKeyStoreTest, UnreachableOrSilentStoreFailsWithinTheTimeout) {
  SilentPort silent;
  SilentPort closed;
  closed.Close();
  struct Case {
    const char* name;
    std::uint16_t port;
    std::string message;
  };
  const Case cases[] = {
      {"refused", closed.Port(), "Session key store (Redis) unreachable: Connection refused"},
      {"silent", silent.Port(), "Session key store (Redis) unreachable: no answer within 0.3 s"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RedisKeyStore store(RedisEndpoint{"127.0.0.1", c.port, 0, "", 300ms}, kDefaultMaxKeysPerUser);
    for (int operation = 0; operation < 2; ++operation) {
      const auto start = std::chrono::steady_clock::now();
      try {
        std::int32_t uid = -1, cid = -1;
        if (operation == 0) {
          store.Add(GenerateKeyText(), 1, 1);
        } else {
          store.Check(GenerateKeyText(), uid, cid);
        }
        ADD_FAILURE() << "operation " << operation << " succeeded";
      } catch (const EKeyStoreUnavailable& e) {
        EXPECT_EQ(e.Message(), c.message);
      }
      EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms) << "operation " << operation;
    }
  }
}

// Many request threads sharing one store's connections and cache.
TEST_F(RedisKeyStoreTest, ConcurrentIssuesAndLookupsOnSharedConnections) {
  auto store = Server();
  auto other = Server();
  constexpr int kThreads = 12;
  constexpr int kRounds = 60;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, uid = UniqueUser()] {
      for (int i = 0; i < kRounds; ++i) {
        const std::string key = GenerateKeyText();
        std::int32_t foundUid = -1, foundCid = -1;
        if (!store->Add(key, uid, i) || !other->Check(key, foundUid, foundCid) || foundUid != uid ||
            foundCid != i || !store->Check(key, foundUid, foundCid) || !other->Check(key, foundUid, foundCid)) {
          ++failures;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(other->Count(), kThreads * kRounds);
}

}  // namespace
}  // namespace tallyhand
