// Where the session keys are kept: in this process's memory (the default), or in a
// store that several servers share so that a key one of them issued works on all.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/exception.h"

namespace tallyhand {

// The key store cannot be reached or did not answer in time. Never a reason to treat a
// key as unknown: the request answers an error instead.
TALLYHAND_EXCEPTION(EKeyStoreUnavailable, Exception);

class KeyStore {
 public:
  virtual ~KeyStore() = default;

  // Records a key (a GenerateKeyText result) for the user and company, live for
  // kKeyLifetime from now. False when a live key already has this text (the caller
  // draws another); a store that allows duplicate texts always records. Past the
  // user's limit of live keys, the user's oldest key gives way.
  virtual bool Add(const std::string& keyText, std::int32_t uid, std::int32_t cid) = 0;
  // True when a live key has exactly this text; then hands out its user and company,
  // and only then writes uid and cid.
  virtual bool Check(std::string_view keyText, std::int32_t& uid, std::int32_t& cid) = 0;
  // The keys this process holds: the whole table for the memory store, the keys it has
  // found (and keeps until their expiry) for a shared store.
  virtual std::int32_t Count() = 0;
  // Forgets every key this process holds.
  virtual void Clear() = 0;
};

}  // namespace tallyhand
