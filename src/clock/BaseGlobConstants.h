// The resource texts: statement head, column names and procedure names, and the texts
// in which the two builds differ.
#pragma once

#include <string_view>

namespace tallyhand {

// The two builds of one source; the module's entry unit picks one when it is compiled.
enum class Build { Az, Standard };

namespace res {
inline constexpr std::string_view ExecuteProcedure = "EXECUTE PROCEDURE ";
inline constexpr std::string_view CompanyNumber = "CompanyNumber";
inline constexpr std::string_view CompanyName = "CompanyName";
inline constexpr std::string_view UserID = "UserID";
inline constexpr std::string_view UseHasMobileAccess = "UseHasMobileAccess";
inline constexpr std::string_view MobileUserLogin = "nvSy1_NVQIX_MobileUserLogin";
inline constexpr std::string_view MobileCompanyNamesLookup = "nvm_GetMobileCompanyNames_Lookup";
inline constexpr std::string_view DailyReportRecordList = "nvm_DailyReportRecord_List";
inline constexpr std::string_view DailyReportRecordWrite = "nvm_DailyReportRecord_Write";
// az build only.
inline constexpr std::string_view AzTimeCardWrite = "nvm_az_DailyReportTimeCardRecord_Write";
inline constexpr std::string_view AzTimeCardWithCountWrite =
    "nvm_az_DailyReportTimeCardRecord_WithCount_Write";
}  // namespace res

// "Invalid request!" in the az build, "invalid request!" in the standard build.
constexpr std::string_view InvalidRequestText(Build build) {
  return build == Build::Az ? "Invalid request!" : "invalid request!";
}

inline constexpr std::string_view kBeginMarker = "-------begin of response message----------";
inline constexpr std::string_view kEndMarker = "-------endof response message----------";

}  // namespace tallyhand
