#include "data/sql_params.h"

#include <gtest/gtest.h>

namespace tallyhand {
namespace {

std::string AddError(TSQLParams& params, int index) {
  try {
    params.Add(index, Value(1));
  } catch (const EIndexOutOfRangeException& e) {
    return e.Message();
  }
  return "no error";
}

TEST(TSQLParams, CreateGivesEmptySlots) {
  const TSQLParams params = TSQLParams::Create(2);
  EXPECT_EQ(params.Size(), 2);
  EXPECT_TRUE(params.GetValue(0).IsNull());
  EXPECT_EQ(TSQLParams::Create(0).Size(), 0);
}

TEST(TSQLParams, AddStoresByPositionWithoutAppending) {
  TSQLParams params = TSQLParams::Create(2);
  params.Add(1, Value("x"));
  params.Add(0, Value(12));
  EXPECT_EQ(params.GetValue(0), Value(12));
  EXPECT_EQ(params.GetValue(1), Value("x"));
  params.Add(0, Value(13));
  EXPECT_EQ(params.GetValue(0), Value(13));
  EXPECT_EQ(params.Size(), 2);
}

TEST(TSQLParams, AddOutsideTheSlotsRaisesAndStoresNothing) {
  const std::string prefix = "Index out of range. Index must be between 0 and ";
  TSQLParams three = TSQLParams::Create(3);
  EXPECT_EQ(AddError(three, 3), prefix + "2");
  EXPECT_EQ(AddError(three, -1), prefix + "2");
  EXPECT_EQ(three.Size(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(three.GetValue(i).IsNull());
  TSQLParams empty = TSQLParams::Create(0);
  EXPECT_EQ(AddError(empty, 0), prefix + "-1");
  EXPECT_EQ(empty.Size(), 0);
}

TEST(TSQLParams, ResizingKeepsOrDropsValues) {
  TSQLParams params = TSQLParams::Create(3);
  for (int i = 0; i < 3; ++i) params.Add(i, Value(i + 10));

  TSQLParams grown = params;
  grown.SetSize(5);
  EXPECT_EQ(grown.Size(), 5);
  EXPECT_EQ(grown.GetValue(2), Value(12));
  EXPECT_TRUE(grown.GetValue(3).IsNull());
  EXPECT_TRUE(grown.GetValue(4).IsNull());

  TSQLParams shrunk = params;
  shrunk.SetSize(2);
  EXPECT_EQ(shrunk.Size(), 2);
  EXPECT_EQ(shrunk.GetValue(1), Value(11));

  TSQLParams reset = params;
  reset.Reset(3);
  EXPECT_EQ(reset.Size(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(reset.GetValue(i).IsNull());

  // A copy holds its own values.
  EXPECT_EQ(params.GetValue(0), Value(10));
}

TEST(TSQLParams, NegativeSizeMeansNoSlotsAndReadsStayInBounds) {
  TSQLParams params = TSQLParams::Create(-4);
  EXPECT_EQ(params.Size(), 0);
  EXPECT_THROW(params.GetValue(0), EArgumentOutOfRangeException);
}

}  // namespace
}  // namespace tallyhand
