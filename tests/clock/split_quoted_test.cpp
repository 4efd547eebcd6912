#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "clock/method_check.h"

namespace tallyhand {
namespace {

struct SplitCase {
  std::string text;
  std::vector<std::string> items;
};

class SplitQuotedTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitQuotedTest, GivesItems) {
  EXPECT_EQ(SplitQuoted(GetParam().text, ',', '\''), GetParam().items);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitQuotedTest,
    ::testing::Values(
        SplitCase{"a,'b,c',,'d''e'", {"a", "b,c", "", "d'e"}},
        SplitCase{"", {}},
        SplitCase{",", {"", ""}},
        SplitCase{"abc", {"abc"}},
        // Quotes may open and close inside an item; blanks are kept.
        SplitCase{"x'a,b'y, z", {"xa,by", " z"}},
        // A doubled quote outside quotes closes and reopens: nothing is appended.
        SplitCase{"a''b,c", {"ab", "c"}},
        // An unclosed quote keeps every later separator inside the item.
        SplitCase{"a,'b,c", {"a", "b,c"}},
        // A quote as the very last character just toggles.
        SplitCase{"a,b'", {"a", "b"}},
        SplitCase{"EXECUTE PROCEDURE p(42, 0, 'JOB 1', '02/13/2020', '', '');",
                  {"EXECUTE PROCEDURE p(42", " 0", " JOB 1", " 02/13/2020", " ", " );"}}));

TEST(SplitQuotedSeparators, OtherSeparatorAndQuote) {
  EXPECT_EQ(SplitQuoted("a;\"b;c\";\"d\"\"e\"", ';', '"'),
            (std::vector<std::string>{"a", "b;c", "d\"e"}));
}

}  // namespace
}  // namespace tallyhand
