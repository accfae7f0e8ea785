#include <gtest/gtest.h>

#include "core/client_version.h"
#include "core/output_naming.h"

namespace quillmar::core {
namespace {

TEST(OutputNamingTest, BaseNameIsZeroPaddedDayMonthYearAnd24HourTime) {
  EXPECT_EQ(OutputBaseName({2027, 3, 1, 9, 5, 7}), "Brantwick-01-03-2027-09-05-07");
  EXPECT_EQ(OutputBaseName({2027, 3, 1, 21, 15, 0}), "Brantwick-01-03-2027-21-15-00");
  EXPECT_EQ(OutputBaseName({2026, 12, 6, 14, 5, 9}), "Brantwick-06-12-2026-14-05-09");
  EXPECT_EQ(OutputBaseName({2026, 12, 31, 0, 0, 0}), "Brantwick-31-12-2026-00-00-00");
}

TEST(OutputNamingTest, CandidateNamesPutTheNumberBeforeTheExtension) {
  EXPECT_EQ(OutputFileName("Brantwick-01-03-2027-09-05-07", 1), "Brantwick-01-03-2027-09-05-07.pst");
  EXPECT_EQ(OutputFileName("Brantwick-01-03-2027-09-05-07", 2), "Brantwick-01-03-2027-09-05-07-2.pst");
  EXPECT_EQ(OutputFileName("B", 12), "B-12.pst");
}

TEST(OutputNamingTest, TrailingSeparatorIsAddedOnlyWhenMissing) {
  EXPECT_EQ(WithTrailingSeparator("/home/ann/Backup", PathStyle::kPosix), "/home/ann/Backup/");
  EXPECT_EQ(WithTrailingSeparator("/home/ann/Backup/", PathStyle::kPosix), "/home/ann/Backup/");
  EXPECT_EQ(WithTrailingSeparator("/", PathStyle::kPosix), "/");
  EXPECT_EQ(WithTrailingSeparator("D:\\Backup", PathStyle::kWindows), "D:\\Backup\\");
  EXPECT_EQ(WithTrailingSeparator("E:\\", PathStyle::kWindows), "E:\\");
  EXPECT_EQ(WithTrailingSeparator("C:/Program Files/QUILLMAR/", PathStyle::kWindows),
            "C:/Program Files/QUILLMAR/");
  // Joined as the run joins them.
  EXPECT_EQ(WithTrailingSeparator("E:\\", PathStyle::kWindows) +
                OutputFileName(OutputBaseName({2026, 12, 6, 14, 5, 9}), 1),
            "E:\\Brantwick-06-12-2026-14-05-09.pst");
  EXPECT_EQ(WithTrailingSeparator("C:\\", PathStyle::kWindows) + TemplateFileName(2), "C:\\xportk.def");
}

TEST(OutputNamingTest, TemplateIsTheAnsiStoreOnlyForAUnicodeSource) {
  EXPECT_EQ(TemplateFileName(0), "xport.def");
  EXPECT_EQ(TemplateFileName(1), "xport.def");
  EXPECT_EQ(TemplateFileName(2), "xportk.def");
}

TEST(ClientVersionTest, MajorNumberFromTheFirstTwoCharacters) {
  EXPECT_EQ(MajorVersionOf("11.0.0.8206"), 11);
  EXPECT_EQ(MajorVersionOf("12.0.0.4518"), 12);
  EXPECT_EQ(MajorVersionOf("16.0.0.0"), 16);
  EXPECT_EQ(MajorVersionOf("9.0.0.2711"), 9);
  EXPECT_EQ(MajorVersionOf("9"), 9);
  EXPECT_EQ(MajorVersionOf(" 9.0"), 9);
  EXPECT_EQ(MajorVersionOf("100.1"), 10);
  EXPECT_EQ(MajorVersionOf(".5"), 0);
  EXPECT_EQ(MajorVersionOf("-1"), -1);
}

TEST(ClientVersionTest, NonNumericStartIsRejected) {
  for (const char* text : {"", " ", ".", "ab", "1a", "a1", "x.0", "+", "..", "\xC3\xA9"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(MajorVersionOf(text), std::nullopt);
  }
}

}  // namespace
}  // namespace quillmar::core
