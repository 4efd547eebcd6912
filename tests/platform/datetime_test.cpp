#include "platform/datetime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/exception.h"

namespace tallyhand {
namespace {

TEST(EncodeDate, CountsDaysFromTheEpoch) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(1900, 1, 1), 2.0);
  EXPECT_EQ(EncodeDate(2020, 2, 3), 43864.0);
  EXPECT_EQ(EncodeDate(2000, 2, 29), 36585.0);
  EXPECT_EQ(EncodeDate(1899, 12, 29), -1.0);
}

TEST(EncodeDate, RejectsInvalidDates) {
  TDateTime out;
  EXPECT_FALSE(TryEncodeDate(2019, 2, 29, out));
  EXPECT_FALSE(TryEncodeDate(1900, 2, 29, out));
  EXPECT_FALSE(TryEncodeDate(2020, 13, 1, out));
  EXPECT_FALSE(TryEncodeDate(2020, 4, 31, out));
  EXPECT_FALSE(TryEncodeDate(0, 1, 1, out));
  EXPECT_THROW(EncodeDate(2020, 0, 1), EConvertError);
  EXPECT_THROW(EncodeTime(24, 0, 0), EConvertError);
}

TEST(DecodeDateTime, InvertsEncoding) {
  const TDateTime value = EncodeDate(2020, 2, 3) + EncodeTime(19, 5, 9, 250);
  const DateTimeParts p = DecodeDateTime(value);
  EXPECT_EQ(p.year, 2020);
  EXPECT_EQ(p.month, 2);
  EXPECT_EQ(p.day, 3);
  EXPECT_EQ(p.hour, 19);
  EXPECT_EQ(p.minute, 5);
  EXPECT_EQ(p.second, 9);
  EXPECT_EQ(p.millisecond, 250);
}

TEST(DecodeDateTime, RoundsAlmostMidnightIntoTheNextDay) {
  const DateTimeParts p = DecodeDateTime(EncodeDate(2020, 12, 31) + 0.9999999999);
  EXPECT_EQ(p.year, 2021);
  EXPECT_EQ(p.month, 1);
  EXPECT_EQ(p.day, 1);
  EXPECT_EQ(p.hour, 0);
}

TEST(FormatDateTime, Patterns) {
  const TDateTime value = EncodeDate(2020, 2, 3) + EncodeTime(19, 5, 9);
  struct Case {
    const char* pattern;
    const char* text;
  } cases[] = {
      {"mm/dd/yyyy hh:nn:ss", "02/03/2020 19:05:09"},
      {"yyyy-mm-dd hh:nn:ss", "2020-02-03 19:05:09"},
      {"yyyy-mm-dd", "2020-02-03"},
      {"hh:nn:ss", "19:05:09"},
      {"m/d/yyyy h:nn:ss", "2/3/2020 19:05:09"},
      {"yy", "20"},
      {"mmm dddd", "Feb Monday"},
      {"[x]", "[x]"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatDateTime(c.pattern, value), c.text) << c.pattern;
  EXPECT_EQ(FormatDateTime("hh:nn:ss", EncodeTime(0, 0, 0)), "00:00:00");
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd", 0.0), "1899-12-30");
}

TEST(TryStrToDate, ReadsShortDates) {
  struct Case {
    const char* text;
    int year, month, day;
  } cases[] = {
      {"2/3/2020", 2020, 2, 3},
      {"02/03/2020", 2020, 2, 3},
      {"12/31/1999", 1999, 12, 31},
      {"  2/3/2020  ", 2020, 2, 3},
      {"2/3/2020 10:15:00", 2020, 2, 3},
      {"2/29/2024", 2024, 2, 29},
  };
  for (const auto& c : cases) {
    const auto value = TryStrToDate(c.text);
    ASSERT_TRUE(value.has_value()) << c.text;
    EXPECT_EQ(*value, EncodeDate(c.year, c.month, c.day)) << c.text;
  }
}

TEST(TryStrToDate, RejectsOtherTexts) {
  for (const char* text : {"", "2020-02-03", "2/30/2020", "13/1/2020", "2/3", "2/3/20201",
                           "123/1/2020", "2/3/2020x", "a/b/c", "2//2020", "2/29/2023", "/3/2020"}) {
    EXPECT_FALSE(TryStrToDate(text).has_value()) << text;
  }
}

TEST(TryStrToDate, PlacesTwoDigitYearsNearTheCurrentYear) {
  SetClockForTesting([] { return EncodeDate(2024, 6, 1); });
  EXPECT_EQ(TryStrToDate("1/2/24"), EncodeDate(2024, 1, 2));
  EXPECT_EQ(TryStrToDate("1/2/73"), EncodeDate(2073, 1, 2));
  EXPECT_EQ(TryStrToDate("1/2/75"), EncodeDate(1975, 1, 2));
  SetClockForTesting({});
}

TEST(RoundDay, HalfGoesToTheEvenDay) {
  struct Case {
    double value, rounded;
  } cases[] = {
      {43864.5, 43864}, {43865.5, 43866}, {43864.49, 43864}, {43864.51, 43865},
      {0.5, 0},         {1.5, 2},         {-0.5, 0},         {-1.5, -2},
      {43864.0, 43864}, {-0.25, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(RoundDay(c.value), c.rounded) << c.value;
}

TEST(Now, FollowsTheReplaceableClock) {
  SetClockForTesting([] { return 12345.25; });
  EXPECT_EQ(Now(), 12345.25);
  SetClockForTesting({});
  const TDateTime system = SystemNow();
  EXPECT_NEAR(Now(), system, 1.0);
  EXPECT_GT(system, EncodeDate(2020, 1, 1));
}

TEST(Now, IsSafeWhileTheClockIsReplaced) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int i = 0; i < 2; ++i) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        const TDateTime now = Now();
        EXPECT_TRUE(now == 1.0 || now == 2.0 || now > 40000.0);
      }
    });
  }
  for (int i = 0; i < 2000; ++i) {
    SetClockForTesting([] { return 1.0; });
    SetClockForTesting([] { return 2.0; });
    SetClockForTesting({});
  }
  stop = true;
  for (auto& t : readers) t.join();
}

}  // namespace
}  // namespace tallyhand
