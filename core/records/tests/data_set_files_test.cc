// Tests of the data set's file names: every name made for a generation's pending or spilled
// files is recognised as such by the parser that removes what a killed run left, and the
// final names, those of another base and look-alikes are not.
#include "core/records/data_set_files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(DataSetFilesTest, PendingAndSpilledNamesAreThoseTheLeftoverParserRemoves) {
  for (const int64_t generation : {int64_t{1}, int64_t{7}, int64_t{1234567890123}}) {
    SCOPED_TRACE(generation);
    std::vector<std::string> finals = {DataLinePath("out"), LengthsPath("out")};
    for (size_t k = 0; k < 12; ++k) {
      finals.push_back(IndexPath("out", k));
      if (k > 0) finals.push_back(CharsPath("out", k));
    }
    for (const std::string& name : finals) {
      EXPECT_FALSE(IsPendingDataFile(name, "out")) << name;
      const std::string pending = PendingPath(name, generation);
      EXPECT_EQ(pending, name + PendingSuffix(generation));
      EXPECT_TRUE(IsPendingName(pending, name)) << pending;
      EXPECT_TRUE(IsPendingName(pending + ".tmp.tmp", name)) << pending;
      EXPECT_FALSE(IsPendingName(pending + "x", name)) << pending;
      EXPECT_TRUE(IsPendingDataFile(pending, "out")) << pending;
      EXPECT_TRUE(IsPendingDataFile(pending + ".tmp", "out")) << pending;
      EXPECT_FALSE(IsPendingDataFile(pending, "other")) << pending;
      EXPECT_FALSE(IsPendingDataFile(pending, "ou")) << pending;
    }
    const std::string spill = SpillPrefix("out", generation);
    for (const std::string& name :
         {SpillCellsPath(spill), SpillPoolPath(spill), SpillFiltersPath(spill),
          RunPath(IndexPath(spill, 0), 0), RunPath(CharsPath(spill, 3), 41)}) {
      EXPECT_TRUE(IsPendingDataFile(name, "out")) << name;
      EXPECT_FALSE(IsPendingDataFile(name, "other")) << name;
    }
  }
  // Files of the data set that no generation writes under a pending name stay.
  for (const std::string& name :
       {ManifestPath("out"), LockPath("out"), DeletedPath("out"), PendingPath("out", 3)}) {
    EXPECT_FALSE(IsPendingDataFile(name, "out")) << name;
  }
}

TEST(DataSetFilesTest, AManifestNameGivesBackItsBase) {
  for (const std::string base : {"out", "/data/sets/a.b", "folder/.manifest"}) {
    std::string parsed;
    ASSERT_TRUE(ParseManifestPath(ManifestPath(base), &parsed)) << base;
    EXPECT_EQ(parsed, base);
  }
  std::string parsed = "kept";
  for (const std::string path : {".manifest", "out.manifests", "out.manifest.tmp", "out"}) {
    EXPECT_FALSE(ParseManifestPath(path, &parsed)) << path;
  }
  EXPECT_EQ(parsed, "kept");
}

}  // namespace
