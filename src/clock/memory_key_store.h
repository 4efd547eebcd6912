// The session key table in this process's memory: keys live as long as the process and
// are known to it alone.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "clock/key_store.h"

namespace tallyhand {

class MemoryKeyStore final : public KeyStore {
 public:
  // maxKeysPerUser: live keys one user and company may hold (at least 1).
  explicit MemoryKeyStore(std::uint32_t maxKeysPerUser);
  ~MemoryKeyStore() override;

  bool Add(const std::string& keyText, std::int32_t uid, std::int32_t cid) override;
  bool Check(std::string_view keyText, std::int32_t& uid, std::int32_t& cid) override;
  std::int32_t Count() override;
  void Clear() override;

 private:
  class Table;
  std::unique_ptr<Table> table_;
};

}  // namespace tallyhand
