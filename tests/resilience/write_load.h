// The app's writes under load, kept in a ledger: time cards, daily reports and clock
// pictures sent by several clients at once, each marked with a text of its own, and what
// each one was answered. After a crash the ledger is held against what the database and
// the pictures folder hold: every write answered success is there exactly once, no write
// is there twice, and every picture under its final name is the whole JPEG sent.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e/upload_fixture.h"

namespace tallyhand::resilience {

using Clock = std::chrono::steady_clock;

enum class WriteKind { TimeCard, DailyReport, Picture };
// Refused: an error envelope. NoAnswer: the connection ended without a whole answer.
enum class Outcome { Success, Refused, NoAnswer };

struct SentWrite {
  WriteKind kind;
  std::string marker;  // stored in the record's notes (pictures: its tskey and file name)
  Outcome outcome;
  Clock::time_point answeredAt;
  Clock::duration took;
};

struct OutcomeCounts {
  std::size_t success = 0, refused = 0, noAnswer = 0;
  Clock::duration slowest{};
  std::size_t Total() const { return success + refused + noAnswer; }
};

inline std::string PictureFileName(const std::string& marker) { return marker + ".jpg"; }

// A picture of its own for every marker: one noisy image (so that it is large enough to be
// caught half-written) with the marker in a comment segment after the start-of-image.
class PictureMaker {
 public:
  PictureMaker() : base_(testing::MakeJpeg(testing::JpegKind::Noisy, 640, 480)) {}
  std::string For(const std::string& marker) const {
    std::string jpeg = base_.substr(0, 2);
    const std::size_t length = marker.size() + 2;
    jpeg += "\xFF\xFE";
    jpeg += static_cast<char>(length >> 8);
    jpeg += static_cast<char>(length & 0xFF);
    jpeg += marker;
    jpeg += base_.substr(2);
    return jpeg;
  }

 private:
  std::string base_;
};

// The requests of the app for one write, signed in with credentials (a session key
// would not survive the restart).
class AppWrites {
 public:
  static constexpr std::string_view kCredentials =
      R"("AuthUser":"jsmith","AuthPass":"secret","AuthComp":"Acme Builders")";

  // Into the day's daily report of JOB 1, which the server creates when it is missing.
  static std::string TimeCard(const std::string& marker) {
    return ClientRequest(
        "EXECUTE PROCEDURE nvm_az_DailyReportTimeCardRecord_Write(_userID_,0,1,"
        "'01/15/2030','1042','07:00','15:00','8','100','Loader','" +
        marker + "','JOB 1','Open');");
  }
  // For a day of its own, so that the server always runs the write.
  static std::string DailyReport(const std::string& marker, int serial) {
    return ClientRequest("EXECUTE PROCEDURE nvm_DailyReportRecord_Write(_userID_,0,'JOB 2','" +
                         DayText(serial) + "','" + marker + "','');");
  }
  static std::string Picture(const std::string& marker, const std::string& jpeg) {
    e2e::Query query = e2e::ClockInQuery(marker);
    query = e2e::With(query, "fn", PictureFileName(marker));
    query = e2e::With(query, "tskey", marker);
    return e2e::UploadRequest(query, {e2e::JpegPart("IMG.jpg", jpeg)});
  }

  static Outcome Classify(const std::optional<testsupport::HttpResponse>& response) {
    if (!response || response->status != 200 || !response->body.starts_with(e2e::kBeginMarker) ||
        !response->body.ends_with(e2e::kEndMarker)) {
      return Outcome::NoAnswer;
    }
    const std::string& body = response->body;
    if (body.find(R"({"error":"1")") != std::string::npos) return Outcome::Refused;
    const bool rows = body.find(R"("ResultStatus":"0")") != std::string::npos;
    // A daily report already there is answered with a key instead of being written.
    const bool key = body.find(R"("response":"success","key":")") != std::string::npos;
    return body.find(R"({"error":"0")") != std::string::npos && (rows || key) ? Outcome::Success
                                                                              : Outcome::NoAnswer;
  }

 private:
  static std::string ClientRequest(const std::string& method) {
    std::string json =
        "{" + std::string(kCredentials) + R"(,"RID":"L","ReqMethod":")" + method + R"("})";
    std::replace(json.begin(), json.end(), '"', '`');
    return e2e::PostRequest("/tcclientRequest.app", "application/x-www-form-urlencoded",
                            e2e::PercentEncode(json));
  }
  // Day `serial` after 1 January 2040, as mm/dd/yyyy.
  static std::string DayText(int serial) {
    using namespace std::chrono;
    const year_month_day day{sys_days{year{2040} / January / 1} + days{serial}};
    char text[16];
    std::snprintf(text, sizeof text, "%02u/%02u/%04d", static_cast<unsigned>(day.month()),
                  static_cast<unsigned>(day.day()), static_cast<int>(day.year()));
    return text;
  }
};

// Clients that send writes as fast as they are answered, until stopped.
class WriteLoad {
 public:
  WriteLoad(int clients, unsigned seed) : clients_(clients), seed_(seed) {}
  ~WriteLoad() { Stop(); }

  void Start(uint16_t port, const std::string& round) {
    running_ = true;
    for (int client = 0; client < clients_; ++client) {
      threads_.emplace_back([this, port, round, client] { Run(port, round, client); });
    }
  }
  void Stop() {
    running_ = false;
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
  }

  const PictureMaker& Pictures() const { return pictures_; }
  std::vector<SentWrite> Ledger() const {
    std::lock_guard lock(lock_);
    return ledger_;
  }
  // The outcomes of the writes answered within [from, to).
  OutcomeCounts Count(Clock::time_point from = Clock::time_point::min(),
                      Clock::time_point to = Clock::time_point::max()) const {
    std::lock_guard lock(lock_);
    OutcomeCounts counts;
    for (const SentWrite& write : ledger_) {
      if (write.answeredAt < from || write.answeredAt >= to) continue;
      counts.slowest = std::max(counts.slowest, write.took);
      (write.outcome == Outcome::Success   ? counts.success
       : write.outcome == Outcome::Refused ? counts.refused
                                           : counts.noAnswer)++;
    }
    return counts;
  }

 private:
  void Run(uint16_t port, const std::string& round, int client) {
    // Its own sequence for every client and round, repeated by the same seed.
    std::seed_seq sequence{seed_, static_cast<unsigned>(client),
                           static_cast<unsigned>(std::hash<std::string>{}(round))};
    std::mt19937 pick(sequence);
    for (int n = 0; running_; ++n) {
      const std::string marker = round + "-" + std::to_string(client) + "-" + std::to_string(n);
      const auto kind = static_cast<WriteKind>(pick() % 3);
      std::string request;
      switch (kind) {
        case WriteKind::TimeCard:
          request = AppWrites::TimeCard(marker);
          break;
        case WriteKind::DailyReport:
          request = AppWrites::DailyReport(marker, dailyReportSerial_++);
          break;
        case WriteKind::Picture:
          request = AppWrites::Picture(marker, pictures_.For(marker));
          break;
      }
      const auto sent = Clock::now();
      const Outcome outcome =
          AppWrites::Classify(testsupport::HttpExchange(port, request, std::chrono::seconds(20)));
      const auto answered = Clock::now();
      std::lock_guard lock(lock_);
      ledger_.push_back({kind, marker, outcome, answered, answered - sent});
      // A server that is gone refuses connections at once; no need to hammer it.
      if (outcome == Outcome::NoAnswer) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  const int clients_;
  const unsigned seed_;
  const PictureMaker pictures_;
  std::atomic<bool> running_{false};
  std::atomic<int> dailyReportSerial_{0};
  std::vector<std::thread> threads_;
  mutable std::mutex lock_;
  std::vector<SentWrite> ledger_;
};

// How often each marker is stored, per kind of write.
struct StoredMarkers {
  std::map<std::string, int> timeCards, dailyReports, pictures;

  const std::map<std::string, int>& Of(WriteKind kind) const {
    return kind == WriteKind::TimeCard      ? timeCards
           : kind == WriteKind::DailyReport ? dailyReports
                                            : pictures;
  }
};

inline std::map<std::string, int> CountMarkers(TMainDM& dm, const std::string& sql) {
  std::map<std::string, int> counts;
  auto set = dm.ExecuteQuery(TSQLParams::Create(0), sql);
  for (; !set->Eof(); set->Next()) {
    if (!set->Fields(0).IsNull()) counts[set->Fields(0).AsString()] = set->Fields(1).AsInteger();
  }
  return counts;
}

// Read through the site's own data.ini, so both drivers are counted alike.
inline StoredMarkers ReadStoredMarkers(const std::string& siteFolder) {
  TErrorLog quiet;
  TMainDM dm(siteFolder, quiet, 1);
  dm.LoadConnections();
  StoredMarkers stored;
  stored.timeCards = CountMarkers(dm, "SELECT Notes, COUNT(*) FROM time_cards GROUP BY Notes");
  stored.dailyReports =
      CountMarkers(dm, "SELECT Notes, COUNT(*) FROM daily_reports GROUP BY Notes");
  stored.pictures =
      CountMarkers(dm, "SELECT TsKey, COUNT(*) FROM employee_pictures GROUP BY TsKey");
  return stored;
}

inline bool IsTemporaryUploadName(const std::string& name) {
  return name.starts_with(".upload:") && name.ends_with(".part");
}

inline std::size_t CountTemporaryUploads(const std::string& folder) {
  std::size_t count = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    count += IsTemporaryUploadName(entry.path().filename());
  }
  return count;
}

// What a check of the ledger found; all zero when nothing answered was lost or harmed.
struct LedgerCheck {
  std::size_t lost = 0, duplicated = 0, partialPictures = 0, strayFiles = 0;
  std::size_t storedUnanswered = 0;  // written, though the client never heard so (allowed)
  std::vector<std::string> faults;

  void Fault(std::string text) {
    if (faults.size() < 20) faults.push_back(std::move(text));
  }
};

// Pictures already found whole, by name, with their size: a long run reads each file once,
// and after that only sees that its size stays.
using WholePictures = std::map<std::string, std::uintmax_t>;

inline LedgerCheck CheckLedger(const std::vector<SentWrite>& ledger, const StoredMarkers& stored,
                               const std::string& picturesFolder, const PictureMaker& pictures,
                               WholePictures& whole) {
  LedgerCheck check;
  std::map<std::string, const SentWrite*> sentPictures;
  for (const SentWrite& write : ledger) {
    const auto& counts = stored.Of(write.kind);
    const auto found = counts.find(write.marker);
    const int times = found == counts.end() ? 0 : found->second;
    if (times > 1) {
      ++check.duplicated;
      check.Fault(write.marker + " stored " + std::to_string(times) + " times");
    }
    if (write.outcome == Outcome::Success && times == 0) {
      ++check.lost;
      check.Fault(write.marker + " answered success but not stored");
    }
    if (write.outcome != Outcome::Success && times > 0) ++check.storedUnanswered;
    if (write.kind == WriteKind::Picture) sentPictures[PictureFileName(write.marker)] = &write;
  }
  // Every file under a final name is a whole picture that was sent.
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(picturesFolder, error)) {
    const std::string name = entry.path().filename();
    const auto sent = sentPictures.find(name);
    if (sent == sentPictures.end()) {
      ++check.strayFiles;
      check.Fault("unexpected file in the pictures folder: " + name);
      continue;
    }
    const auto known = whole.find(name);
    if (known != whole.end() && known->second == entry.file_size(error)) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    if (bytes != pictures.For(sent->second->marker)) {
      ++check.partialPictures;
      check.Fault(name + " is not the picture sent (" + std::to_string(bytes.size()) + " bytes)");
    } else {
      whole[name] = bytes.size();
    }
  }
  // A picture answered success is on disk.
  for (const auto& [name, write] : sentPictures) {
    if (write->outcome == Outcome::Success && !std::filesystem::exists(picturesFolder + name)) {
      ++check.lost;
      check.Fault(name + " answered success but missing from the pictures folder");
    }
  }
  return check;
}

inline void ExpectNothingLost(const LedgerCheck& check) {
  EXPECT_EQ(check.lost, 0u);
  EXPECT_EQ(check.duplicated, 0u);
  EXPECT_EQ(check.partialPictures, 0u);
  EXPECT_EQ(check.strayFiles, 0u);
  for (const std::string& fault : check.faults) ADD_FAILURE() << fault;
}

// A setting of the long runs under bench/: an environment variable, else the default.
inline int EnvironmentNumber(const char* name, int fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::atoi(value) : fallback;
}

}  // namespace tallyhand::resilience
