#include "clock/json_request.h"

#include <rapidjson/encodedstream.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "clock/text_edit.h"

namespace tallyhand {
namespace {

// Iterative parsing keeps the call stack flat however deeply a hostile request nests;
// numbers stay as written so that 17 reads back as 17.
constexpr unsigned kParseFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseStopWhenDoneFlag |
                                 rapidjson::kParseNumbersAsStringsFlag |
                                 rapidjson::kParseCommentsFlag | rapidjson::kParseTrailingCommasFlag;

// Collects the top-level members of an object as text. Nested values are streamed into a
// Writer (which keeps its own heap stack), so no recursion depends on the input.
class MemberCollector {
 public:
  explicit MemberCollector(std::map<std::string, std::string, std::less<>>& members)
      : members_(members), writer_(buffer_) {}

  bool Null() { return Scalar("", [this] { return writer_.Null(); }); }
  bool Bool(bool b) {
    return Scalar(b ? "true" : "false", [this, b] { return writer_.Bool(b); });
  }
  // Numbers arrive as RawNumber (kParseNumbersAsStringsFlag); these are never called.
  bool Int(int) { return true; }
  bool Uint(unsigned) { return true; }
  bool Int64(int64_t) { return true; }
  bool Uint64(uint64_t) { return true; }
  bool Double(double) { return true; }
  bool RawNumber(const char* text, rapidjson::SizeType length, bool) {
    // RawValue, not Writer::RawNumber: the latter quotes the number in this RapidJSON.
    return Scalar(std::string_view(text, length), [this, text, length] {
      return writer_.RawValue(text, length, rapidjson::kNumberType);
    });
  }
  bool String(const char* text, rapidjson::SizeType length, bool) {
    return Scalar(std::string_view(text, length),
                  [this, text, length] { return writer_.String(text, length); });
  }
  bool Key(const char* text, rapidjson::SizeType length, bool) {
    if (depth_ == 1) {
      if (topIsObject_) key_.assign(text, length);
      return true;
    }
    return !Capturing() || writer_.Key(text, length);
  }
  bool StartObject() { return StartContainer(true); }
  bool EndObject(rapidjson::SizeType) { return EndContainer(true); }
  bool StartArray() { return StartContainer(false); }
  bool EndArray(rapidjson::SizeType) { return EndContainer(false); }

 private:
  // Inside a member value of the top-level object.
  bool Capturing() const { return topIsObject_ && depth_ >= 2; }

  template <typename WriteNested>
  bool Scalar(std::string_view topLevelText, WriteNested writeNested) {
    if (depth_ == 1) {
      if (topIsObject_) members_[key_] = std::string(topLevelText);
      return true;
    }
    return !Capturing() || writeNested();
  }

  bool StartContainer(bool isObject) {
    if (depth_ == 0) {
      topIsObject_ = isObject;
    } else if (topIsObject_) {
      if (depth_ == 1) {
        buffer_.Clear();
        writer_.Reset(buffer_);
      }
      if (!(isObject ? writer_.StartObject() : writer_.StartArray())) return false;
    }
    ++depth_;
    return true;
  }

  bool EndContainer(bool isObject) {
    --depth_;
    if (depth_ >= 1 && topIsObject_) {
      if (!(isObject ? writer_.EndObject() : writer_.EndArray())) return false;
      if (depth_ == 1) members_[key_] = std::string(buffer_.GetString(), buffer_.GetSize());
    }
    return true;
  }

  std::map<std::string, std::string, std::less<>>& members_;
  rapidjson::StringBuffer buffer_;
  rapidjson::Writer<rapidjson::StringBuffer> writer_;
  std::string key_;
  std::size_t depth_ = 0;
  bool topIsObject_ = false;
};

}  // namespace

std::optional<JsonRequest> JsonRequest::Parse(std::string_view text) {
  JsonRequest request;
  MemberCollector collector(request.members_);
  rapidjson::MemoryStream memory(text.data(), text.size());
  rapidjson::EncodedInputStream<rapidjson::UTF8<>, rapidjson::MemoryStream> stream(memory);
  rapidjson::Reader reader;
  if (reader.Parse<kParseFlags>(stream, collector).IsError()) return std::nullopt;
  return request;
}

std::string JsonRequest::Member(std::string_view name) const {
  const auto found = members_.find(name);
  return found == members_.end() ? std::string() : found->second;
}

std::string JsonRequest::TrimmedMember(std::string_view name) const {
  return std::string(TrimText(Member(name)));
}

}  // namespace tallyhand
