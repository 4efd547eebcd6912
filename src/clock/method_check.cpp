#include "clock/method_check.h"

#include <array>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "clock/BaseGlobConstants.h"
#include "clock/daily_reports.h"
#include "clock/envelope.h"
#include "clock/session_keys.h"
#include "clock/text_edit.h"
#include "platform/datetime.h"
#include "platform/exception.h"

namespace tallyhand {
namespace {

constexpr std::string_view kAnswerWrite = "nvm_Answer_Write";
constexpr std::string_view kStandardTimeCardWrite = "nvm_DailyReportTimeCardRecord_Write(";
constexpr std::string_view kInvalidDailyReportId = "Invalid Daily Report ID !";

// Argument items by position.
constexpr std::size_t kJobItemOfReportWrite = 2;
constexpr std::size_t kDailyReportIdItem = 2;
constexpr std::size_t kWorkDateItem = 3;
constexpr std::size_t kJobItemOfTimeCardWrite = 11;
constexpr std::size_t kReportWriteItems = 6;
constexpr std::size_t kTimeCardWriteItems = 12;

std::string ToLowerAscii(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lowered;
}

bool Names(const std::string& loweredMethod, std::string_view name) {
  return loweredMethod.find(ToLowerAscii(name)) != std::string::npos;
}

bool NamesTimeCardWrite(const std::string& loweredMethod, Build build) {
  if (build == Build::Standard) return Names(loweredMethod, kStandardTimeCardWrite);
  return Names(loweredMethod, res::AzTimeCardWrite) ||
         Names(loweredMethod, res::AzTimeCardWithCountWrite);
}

TDateTime ReadWorkDate(std::string_view item) {
  const std::optional<TDateTime> date = TryStrToDate(item);
  if (!date) throw EConvertError("'" + std::string(item) + "' is not a valid date");
  return *date;
}

// Serialises the find-write-find of one (user, job, day) so that concurrent time-card
// writes never create two reports for it. Striped: unrelated keys that share a stripe only
// wait for each other's short database round trips.
class DailyReportCreationLocks {
 public:
  std::mutex& For(std::string_view userId, std::string_view trimmedJob, double day) {
    std::string key(userId);
    key += '\x1f';
    key += trimmedJob;
    key += '\x1f';
    key += std::to_string(static_cast<long long>(day));
    return stripes_[std::hash<std::string>{}(key) % stripes_.size()];
  }

 private:
  std::array<std::mutex, 64> stripes_;
};

DailyReportCreationLocks& CreationLocks() {
  static DailyReportCreationLocks locks;
  return locks;
}

// Daily report write: answered with a fresh key when the day already has its report.
SpecialMethodResult CheckDailyReportWrite(std::string_view method, const RequestContext& ctx) {
  const std::vector<std::string> items = SplitQuoted(method, ',', '\'');
  if (items.size() < kReportWriteItems) return {false, std::string(method)};
  const TDateTime workDate = ReadWorkDate(items[kWorkDateItem]);
  std::string pmid;
  if (!FindDailyReport(std::to_string(ctx.userId), items[kJobItemOfReportWrite], workDate, ctx,
                       pmid)) {
    return {false, std::string(method)};
  }
  const std::string key = CreateKey(ctx.userId, ctx.companyId);
  return {true, FormatResponse(false, "success", ctx.rid, key, false)};
}

// The report for the day, created when it is missing and the job can name one.
std::optional<std::string> FindOrCreateDailyReport(const std::string& userId,
                                                   const std::string& job, TDateTime workDate,
                                                   const RequestContext& ctx) {
  const std::string_view trimmedJob = TrimText(job);
  if (trimmedJob.size() < 2 || IsUndefinedJob(job)) return std::nullopt;
  std::lock_guard lock(CreationLocks().For(userId, trimmedJob, RoundDay(workDate)));
  std::string pmid;
  // Another request may have created it since the first lookup.
  if (FindDailyReport(userId, job, workDate, ctx, pmid)) return pmid;
  WriteDailyReport(userId, job, workDate, ctx);
  if (FindDailyReport(userId, job, workDate, ctx, pmid)) return pmid;
  return std::nullopt;
}

// Time-card write: the daily report id it carries is checked and corrected.
SpecialMethodResult CheckTimeCardWrite(std::string_view method, const RequestContext& ctx) {
  const std::vector<std::string> items = SplitQuoted(method, ',', '\'');
  if (items.size() < kTimeCardWriteItems) return {false, std::string(method)};
  const std::string& sentId = items[kDailyReportIdItem];
  const std::string& job = items[kJobItemOfTimeCardWrite];
  const TDateTime workDate = ReadWorkDate(items[kWorkDateItem]);
  const std::string userId = std::to_string(ctx.userId);

  std::string pmid;
  std::optional<std::string> newId;
  if (FindDailyReport(userId, job, workDate, ctx, pmid)) {
    if (pmid == sentId) return {false, std::string(method)};
    newId = pmid;
  } else {
    newId = FindOrCreateDailyReport(userId, job, workDate, ctx);
  }
  if (!newId) {
    return {true, FormatResponse(true, kInvalidDailyReportId, ctx.rid, "", false)};
  }
  std::string text(method);
  const std::string sentPattern = "," + sentId + ",";
  const std::size_t at = text.find(sentPattern);
  if (at != std::string::npos) text.replace(at, sentPattern.size(), "," + *newId + ",");
  return {false, std::move(text)};
}

}  // namespace

std::vector<std::string> SplitQuoted(std::string_view text, char separator, char quote) {
  std::vector<std::string> items;
  if (text.empty()) return items;
  std::string current;
  bool inQuotes = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == quote) {
      if (inQuotes && i + 1 < text.size() && text[i + 1] == quote) {
        current += quote;
        ++i;
      } else {
        inQuotes = !inQuotes;
      }
    } else if (c == separator && !inQuotes) {
      items.push_back(std::move(current));
      current.clear();
    } else {
      current += c;
    }
  }
  items.push_back(std::move(current));
  return items;
}

SpecialMethodResult CheckSpecialMethod(std::string_view method, const RequestContext& ctx) {
  const std::string lowered = ToLowerAscii(method);
  if (Names(lowered, kAnswerWrite)) return {false, std::string(method)};
  try {
    if (Names(lowered, res::DailyReportRecordWrite)) return CheckDailyReportWrite(method, ctx);
    if (NamesTimeCardWrite(lowered, ctx.build)) return CheckTimeCardWrite(method, ctx);
  } catch (const EKeyStoreUnavailable& e) {
    // The report exists and only the key is missing: running the write would make a
    // second report for the day.
    return {true, FormatResponse(true, KeyNotIssuedText(e), ctx.rid, "", false)};
  } catch (...) {
    // Whatever stops the check (a missing item, an unreadable date, a failing procedure),
    // the method runs as the client wrote it; the database layer has logged its errors.
  }
  return {false, std::string(method)};
}

}  // namespace tallyhand
