// The tables before their fillers ran. Nothing in this executable fills them,
// so every case sees the empty tables of a freshly loaded library.
#include <gtest/gtest.h>

#include <string>

#include "CachePaths.h"
#include "Vocabulary.h"

namespace {

TEST(UnfilledTables, LookupsSeeEmptyRows) {
  EXPECT_STREQ(GetOSNameFromId(0), "");
  EXPECT_EQ(GetOSIdFromName(""), 0);
  EXPECT_EQ(GetOSNameFromId(16), nullptr);
  EXPECT_FALSE(isOSShortNameInList("win"));
  EXPECT_STREQ(GetUtypeNameFromId(0), "");
  EXPECT_EQ(GetUtypeNameFromId(1), nullptr);
  EXPECT_EQ(GetRelIdFromIndex(0), 0);
  EXPECT_EQ(GetRelIdFromName(""), 0);
}

TEST(UnfilledTables, BuildersNeverAppendAMissingName) {
  std::string path = "/root";
  EXPECT_FALSE(FindPathForOS(15, 16, 1, path));
  EXPECT_FALSE(FindNewPathForOS(15, 3, 1, path));
  EXPECT_FALSE(FindPathForMainOS(15, 16, path));
  EXPECT_FALSE(FindInstallUpdPathForOS(16, 16, path));
  EXPECT_FALSE(FindSPPathForOS(16, _SPVersion(12), path));
  EXPECT_EQ(path, "/root");
  EXPECT_EQ(GetLooseUpdateFolder(16, 16, false, false), "");
  EXPECT_EQ(GetLooseUpdateFolderNew(16, false), "");
  EXPECT_EQ(GetBinaryPayloadNameForOS(16), "");
}

}  // namespace
