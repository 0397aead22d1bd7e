#include <gtest/gtest.h>

#include <sstream>

#include "io/file_formats.h"
#include "util/errors.h"

TEST(ReadSampleIds, LastTokenOfEachNonBlankLine) {
  std::istringstream in("S1\nFAM1 S7\r\n  \n\t\nS3 \nlast");
  const auto ids = read_sample_ids(in, "samples.txt");
  EXPECT_EQ(ids, (std::vector<std::string>{"S1", "S7", "S3", "last"}));
  std::istringstream empty("");
  EXPECT_TRUE(read_sample_ids(empty, "e.txt").empty());
}

TEST(ReadSampleIds, DuplicateNamesBothLines) {
  std::istringstream in("A\nB\n\nA\n");
  try {
    read_sample_ids(in, "samples.txt");
    FAIL();
  } catch (const FatalError& error) {
    EXPECT_STREQ(error.what(), "ERROR! Duplicate sample ID 'A' in samples.txt: lines 1 and 4");
  }
}

TEST(ReadPositions, SortsKeepsDuplicatesCountsLines) {
  std::istringstream in("300\n100\n\n200  \n5 7\n5\n");
  const PositionList list = read_positions(in, "list.txt");
  EXPECT_EQ(list.positions, (std::vector<std::uint64_t>{5, 5, 7, 100, 200, 300}));
  EXPECT_EQ(list.line_count, 6);
}

TEST(ReadPositions, RejectsBadTokensAndEmptyLists) {
  for (const std::string bad : {"100\n12x\n", "100\n-1\n", "2147483648\n", "1.5\n"}) {
    std::istringstream in(bad);
    EXPECT_THROW(read_positions(in, "list.txt"), FatalError) << bad;
  }
  std::istringstream in("100\n12x\n");
  try {
    read_positions(in, "list.txt");
  } catch (const FatalError& error) {
    EXPECT_STREQ(error.what(),
                 "ERROR! list.txt:2: position '12x' is not a whole number from 0 to 2147483647");
  }
  std::istringstream blank(" \n\n");
  EXPECT_THROW(read_positions(blank, "list.txt"), FatalError);
}
