#include <gtest/gtest.h>

#include "data/result_set.h"
#include "platform/exception.h"

namespace tallyhand {
namespace {

TEST(FloatToStr, FifteenSignificantDigitsPlainDecimal) {
  struct Case {
    double value;
    const char* text;
  } cases[] = {
      {1.5, "1.5"},
      {0.1, "0.1"},
      {100, "100"},
      {-2.25, "-2.25"},
      {0, "0"},
      {-0.0, "0"},
      {1.0 / 3, "0.333333333333333"},
      {2.0 / 3, "0.666666666666667"},
      {0.1 + 0.2, "0.3"},
      {123456789012345, "123456789012345"},
      {1234567890123456, "1.23456789012346E15"},
      {1e15, "1E15"},
      {1e20, "1E20"},
      {0.0001, "0.0001"},
      {0.00001, "1E-5"},
      {1.5e-7, "1.5E-7"},
      {12.75, "12.75"},
  };
  for (const auto& c : cases) EXPECT_EQ(FloatToStr(c.value), c.text) << c.value;
}

class FieldTest : public ::testing::Test {
 protected:
  // One row; every column holds the value of the case under test.
  static TResultSet Single(FieldType type, Value value) {
    return TResultSet({{"Col", type}}, {{std::move(value)}});
  }
};

TEST_F(FieldTest, AsStringByValueAndType) {
  const double date = EncodeDate(2020, 2, 3);
  const double time = EncodeTime(9, 5, 7);
  struct Case {
    FieldType type;
    Value value;
    const char* text;
  } cases[] = {
      {FieldType::Integer, Value(std::int64_t{-42}), "-42"},
      {FieldType::Integer, Value(std::int64_t{9007199254740993}), "9007199254740993"},
      {FieldType::Boolean, Value(true), "True"},
      {FieldType::Boolean, Value(false), "False"},
      {FieldType::Float, Value(2.5), "2.5"},
      {FieldType::Float, Value(std::int64_t{7}), "7"},
      {FieldType::String, Value("text \xC3\xA9"), "text \xC3\xA9"},
      {FieldType::Memo, Value(""), ""},
      {FieldType::String, Value(), ""},
      {FieldType::Date, Value(date), "2/3/2020"},
      {FieldType::Date, Value(date + time), "2/3/2020"},
      {FieldType::Time, Value(time), "9:05:07"},
      {FieldType::DateTime, Value(date + time), "2/3/2020 9:05:07"},
      {FieldType::TimeStamp, Value(date), "2/3/2020 0:00:00"},
  };
  for (const auto& c : cases) {
    const TResultSet set = Single(c.type, c.value);
    EXPECT_EQ(set.Fields(0).AsString(), c.text) << FieldTypeName(c.type);
  }
}

TEST_F(FieldTest, AsIntegerReadsNumbersAndText) {
  struct Case {
    Value value;
    std::int32_t number;
  } cases[] = {
      {Value(), 0},        {Value(12), 12},   {Value(" -7"), -7}, {Value("+5"), 5},
      {Value(2.5), 2},     {Value(3.5), 4},   {Value(true), 1},   {Value("2147483647"), 2147483647},
  };
  for (const auto& c : cases) EXPECT_EQ(Single(FieldType::Integer, c.value).Fields(0).AsInteger(), c.number);
}

TEST_F(FieldTest, AsIntegerRejectsWhatIsNoInteger) {
  for (const Value& value : {Value("12a"), Value(""), Value("1.5"), Value("2147483648"),
                             Value(std::int64_t{1} << 40)}) {
    EXPECT_THROW(Single(FieldType::String, value).Fields(0).AsInteger(), EConvertError);
  }
  try {
    Single(FieldType::String, Value("x")).Fields(0).AsInteger();
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'x' is not a valid integer value");
  }
}

TEST_F(FieldTest, AsBooleanReadsTextAndNumbers) {
  struct Case {
    Value value;
    bool result;
  } cases[] = {
      {Value(), false},     {Value(true), true},  {Value("TRUE"), true}, {Value("false"), false},
      {Value("True"), true}, {Value(0), false},   {Value(-1), true},     {Value("0"), false},
      {Value("1"), true},    {Value(0.5), true},
  };
  for (const auto& c : cases) EXPECT_EQ(Single(FieldType::Boolean, c.value).Fields(0).AsBoolean(), c.result);
  EXPECT_THROW(Single(FieldType::String, Value("yes")).Fields(0).AsBoolean(), EConvertError);
}

TEST_F(FieldTest, AsFloatOfNullRaisesVariantError) {
  try {
    Single(FieldType::Float, Value()).Fields(0).AsFloat();
    FAIL();
  } catch (const EVariantTypeCastError& e) {
    EXPECT_EQ(e.Message(), "Could not convert variant of type (Null) into type (Double)");
  }
  EXPECT_EQ(Single(FieldType::Float, Value(" 1.25 ")).Fields(0).AsFloat(), 1.25);
  EXPECT_EQ(Single(FieldType::Integer, Value(3)).Fields(0).AsFloat(), 3.0);
  EXPECT_THROW(Single(FieldType::String, Value("1,5")).Fields(0).AsFloat(), EConvertError);
  EXPECT_EQ(Single(FieldType::Date, Value(43864.5)).Fields(0).AsDateTime(), 43864.5);
}

TEST(ResultSet, WalksRowsFromTheFirst) {
  TResultSet set({{"Id", FieldType::Integer}, {"Name", FieldType::String}},
                 {{Value(1), Value("a")}, {Value(2), Value()}});
  EXPECT_FALSE(set.Eof());
  EXPECT_EQ(set.RecordCount(), 2u);
  EXPECT_EQ(set.FieldCount(), 2);
  EXPECT_EQ(set.Fields(1).FieldName(), "Name");
  EXPECT_EQ(set.Fields(1).DataType(), FieldType::String);
  EXPECT_EQ(set.Fields(1).AsString(), "a");
  set.Next();
  EXPECT_TRUE(set.Fields(1).IsNull());
  EXPECT_EQ(set.Fields(0).AsInteger(), 2);
  set.Next();
  EXPECT_TRUE(set.Eof());
  EXPECT_TRUE(set.Fields(0).IsNull());  // past the end: null, no read beyond the rows
  set.Next();
  EXPECT_TRUE(set.Eof());
  set.First();
  EXPECT_EQ(set.Fields(0).AsInteger(), 1);
}

TEST(ResultSet, EmptyResultIsAtItsEndAtOnce) {
  TResultSet set({{"Id", FieldType::Integer}}, {});
  EXPECT_TRUE(set.Eof());
  EXPECT_TRUE(set.IsEmpty());
  EXPECT_EQ(set.Fields(0).AsString(), "");
}

TEST(ResultSet, FieldByNameIgnoresCaseAndReportsAbsentFields) {
  TResultSet set({{"ResultStatus", FieldType::Integer}}, {{Value(-1)}});
  EXPECT_EQ(set.FieldByName("resultstatus").AsInteger(), -1);
  EXPECT_EQ(set.FindFieldIndex("RESULTSTATUS"), 0);
  EXPECT_FALSE(set.HasField("ResultCode"));
  try {
    set.FieldByName("ResultCode");
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "Field 'ResultCode' not found");
  }
}

TEST(ResultSet, ColumnOutsideTheSetRaisesInsteadOfReadingBeyond) {
  TResultSet set({{"Id", FieldType::Integer}}, {{Value(1)}});
  EXPECT_THROW(set.Fields(1).FieldName(), EArgumentOutOfRangeException);
  EXPECT_THROW(set.Fields(-1).DataType(), EArgumentOutOfRangeException);
  EXPECT_TRUE(set.Fields(5).IsNull());
}

}  // namespace
}  // namespace tallyhand
