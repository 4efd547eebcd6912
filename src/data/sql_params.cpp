#include "data/sql_params.h"

#include <string>

namespace tallyhand {

TSQLParams TSQLParams::Create(int size) {
  TSQLParams params;
  params.SetSize(size);
  return params;
}

void TSQLParams::SetSize(int size) { FSQLParams.resize(size > 0 ? static_cast<size_t>(size) : 0); }

void TSQLParams::Reset(int size) {
  FSQLParams.clear();
  SetSize(size);
}

void TSQLParams::Add(int index, Value value) {
  if (index < 0 || index > Size() - 1) {
    throw EIndexOutOfRangeException("Index out of range. Index must be between 0 and " +
                                    std::to_string(Size() - 1));
  }
  FSQLParams[static_cast<size_t>(index)] = std::move(value);
}

const Value& TSQLParams::GetValue(int index) const {
  if (index < 0 || index >= Size()) throw EArgumentOutOfRangeException("Argument out of range");
  return FSQLParams[static_cast<size_t>(index)];
}

}  // namespace tallyhand
