// Positional statement values: slot i goes to the i-th distinct marker of the text.
#pragma once

#include <vector>

#include "data/value.h"
#include "platform/exception.h"

namespace tallyhand {

TALLYHAND_EXCEPTION(EIndexOutOfRangeException, Exception);

struct TSQLParams {
  std::vector<Value> FSQLParams;

  static TSQLParams Create(int size);
  void SetSize(int size);
  void Reset(int size);
  int Size() const { return static_cast<int>(FSQLParams.size()); }
  // Raises EIndexOutOfRangeException "Index out of range. Index must be between 0 and N".
  void Add(int index, Value value);
  // Callers stay within 0..Size-1; outside it raises EArgumentOutOfRangeException.
  const Value& GetValue(int index) const;
};

}  // namespace tallyhand
