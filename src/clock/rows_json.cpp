#include "clock/rows_json.h"

#include <charconv>
#include <exception>
#include <memory>

#include "clock/envelope.h"
#include "data/mainDM.h"
#include "data/sql_params.h"
#include "log/error_log.h"
#include "platform/datetime.h"

namespace tallyhand {

namespace {

// Characters a value text escapes; everything else, control characters included, is
// copied as it is.
void AppendEscaped(std::string& out, std::string_view text) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\' || c == '"') {
      out.append(text.substr(start, i - start));
      out.push_back('\\');
      out.push_back(c);
      start = i + 1;
    }
  }
  out.append(text.substr(start));
}

std::string_view DatePattern(FieldType type) {
  switch (type) {
    case FieldType::Date:
      return "yyyy-mm-dd";
    case FieldType::Time:
      return "hh:nn:ss";
    default:
      return "yyyy-mm-dd hh:nn:ss";
  }
}

bool IsTextType(FieldType type) { return type == FieldType::String || type == FieldType::Memo; }

// The value text of one column at the set's current row.
void AppendValueText(std::string& out, const TResultSet& set, int column, FieldType type) {
  const TField field = set.Fields(column);
  if (IsDateTimeType(type)) {
    // AsDateTime raises the conversion error for NULL.
    AppendDateTime(out, DatePattern(type), field.AsDateTime());
    return;
  }
  const Value& value = field.AsVariant();
  if (value.IsNull()) return;
  // The common cases skip the intermediate string; the rest take the field's text form.
  if (IsTextType(type) && value.IsText()) {
    AppendEscaped(out, value.Text());
  } else if (type == FieldType::Integer && value.IsInteger()) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value.Integer());
    out.append(digits, result.ptr);
  } else {
    AppendEscaped(out, field.AsString());
  }
}

// Room for the whole array: fixed punctuation and names exactly, values estimated from
// their text length (escapes aside) or a number's widest form.
std::size_t EstimateJSONSize(TResultSet& set) {
  constexpr std::size_t kMemberPunctuation = 6;  // "name":"value" minus name and value
  constexpr std::size_t kNonTextValue = 24;
  std::size_t perRow = 2;  // braces
  for (const Column& column : set.Columns()) perRow += column.name.size() + kMemberPunctuation + 1;
  std::size_t size = 2;
  const int columns = set.FieldCount();
  for (set.First(); !set.Eof(); set.Next()) {
    size += perRow;
    for (int c = 0; c < columns; ++c) {
      const Value& value = set.At(c);
      size += value.IsText() ? value.Text().size() : kNonTextValue;
    }
  }
  return size;
}

}  // namespace

std::string ResultSetToJSON(TResultSet& set) {
  std::string json;
  json.reserve(EstimateJSONSize(set));
  const std::vector<Column>& columns = set.Columns();
  const int columnCount = set.FieldCount();
  json.push_back('[');
  bool firstRow = true;
  for (set.First(); !set.Eof(); set.Next()) {
    if (!firstRow) json.push_back(',');
    firstRow = false;
    json.push_back('{');
    for (int c = 0; c < columnCount; ++c) {
      const Column& column = columns[static_cast<std::size_t>(c)];
      if (c > 0) json.push_back(',');
      json.push_back('"');
      json.append(column.name);
      json.append("\":\"");
      AppendValueText(json, set, c, column.type);
      json.push_back('"');
    }
    json.push_back('}');
  }
  json.push_back(']');
  return json;
}

std::string ExecuteMethodToJSON(std::string_view method, const RequestContext& ctx) {
  std::unique_ptr<TResultSet> set;  // released on every path
  try {
    if (ctx.dm == nullptr) throw EDatabaseError("No data module");
    set = ctx.dm->ExecuteQuery(TSQLParams{}, method);
    if (!set) throw EDatabaseError("No result set");
  } catch (const std::exception& e) {
    EventLog().AddToLog(std::string("ReqResponse:") + e.what());
    throw;
  }
  CheckResultStatus(*set);
  return ResultSetToJSON(*set);
}

std::string CleanErrorText(std::string_view text) {
  std::string clean;
  clean.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    switch (c) {
      case '"':
        clean.push_back('\'');
        break;
      case '\\':
        clean.append("\\\\");
        break;
      case '\n':
      case '\r':
        break;
      default:
        clean.push_back(c);
    }
  }
  return clean;
}

std::string ProcedureErrorText(std::string_view message, std::string_view requestText) {
  std::string text;
  text.reserve(30 + message.size() + 18 + requestText.size());
  text.append("Error on executing procedure: ");
  text.append(message);
  text.append(" : Initial request");
  text.append(requestText);
  return CleanErrorText(text);
}

}  // namespace tallyhand
