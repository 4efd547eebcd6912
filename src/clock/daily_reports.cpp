#include "clock/daily_reports.h"

#include <string>

#include "clock/BaseGlobConstants.h"
#include "clock/envelope.h"
#include "clock/text_edit.h"
#include "data/mainDM.h"
#include "data/sql_params.h"

namespace tallyhand {
namespace {

std::string ProcedureStatement(std::string_view procedure, std::string_view markers) {
  std::string sql(res::ExecuteProcedure);
  sql += procedure;
  sql += markers;
  return sql;
}

}  // namespace

bool IsUndefinedJob(std::string_view job) { return TrimText(job) == kUndefinedJob; }

bool FindDailyReport(std::string_view userId, std::string_view job, TDateTime workDate,
                     const RequestContext& ctx, std::string& pmid) {
  TSQLParams params = TSQLParams::Create(3);
  params.Add(0, Value(std::string(userId)));
  params.Add(1, Value(std::string()));
  params.Add(2, Value(0));
  const std::unique_ptr<TResultSet> reports = ctx.dm->ExecuteFixedQuery(
      params, ProcedureStatement(res::DailyReportRecordList, "(:UserID,:Filter,:Flag);"));
  CheckResultStatus(*reports);

  const std::string_view wantedJob = TrimText(job);
  const double wantedDay = RoundDay(workDate);
  bool found = false;
  std::string lastMatch;
  for (reports->First(); !reports->Eof(); reports->Next()) {
    const TField rowJob = reports->FieldByName("Job");
    if (rowJob.IsNull() || TrimText(rowJob.AsString()) != wantedJob) continue;
    if (RoundDay(reports->FieldByName("WorkDate").AsFloat()) != wantedDay) continue;
    lastMatch = reports->FieldByName("PMID").AsString();
    found = true;
  }
  // The undefined job has no report of its own: callers must neither reuse the id of a
  // report filed under it nor create one.
  if (!found || IsUndefinedJob(job)) return false;
  pmid = std::move(lastMatch);
  return true;
}

void WriteDailyReport(std::string_view userId, std::string_view job, TDateTime workDate,
                      const RequestContext& ctx) {
  TSQLParams params = TSQLParams::Create(6);
  params.Add(0, Value(std::string(userId)));
  params.Add(1, Value(0));
  params.Add(2, Value(std::string(job)));
  params.Add(3, Value(FormatDateTime("mm/dd/yyyy", workDate)));
  params.Add(4, Value(std::string()));
  params.Add(5, Value(std::string()));
  const std::unique_ptr<TResultSet> result = ctx.dm->ExecuteFixedQuery(
      params, ProcedureStatement(res::DailyReportRecordWrite,
                                 "(:UserID,:PMID,:Job,:WorkDate,:Notes,:Weather);"));
  CheckResultStatus(*result);
}

}  // namespace tallyhand
