// The recent destinations list and the usage totals kept in the settings profile.
#include <gtest/gtest.h>

#include "app/Profile.h"
#include "app/RecentDestinations.h"
#include "common/TestUtil.h"

using testutil::TempDir;

namespace {

TEST(RecentDestinationsTest, RecentListKeepsFiveDistinctNewestFirst) {
    std::string s;
    for (const char* d : {"/a", "/b", "/c", "/d", "/e", "/f", "/B"}) s = UpdateRecentDestinations(s, d);
    EXPECT_EQ(s, "/B|/f|/e|/d|/c|");
    EXPECT_EQ(ParseRecentDestinations(s).size(), 5u);
    std::string longName(2044, 'x');  // with "/B|" the list would pass 2047 characters
    EXPECT_EQ(UpdateRecentDestinations(s, "/" + longName), "/" + longName + "|");
}

TEST(RecentDestinationsTest, ProfileKeepsRecentFoldersAndStatistics) {
    TempDir dir;
    CXMLProfile& p = CXMLProfile::Instance();
    p.Unload();
    p.SetPath(dir.file("Profile.xml"));
    ASSERT_TRUE(p.Load());
    RememberDestination("/mnt/one");
    RememberDestination("/mnt/two");
    RememberDestination("/MNT/ONE");
    EXPECT_EQ(LoadRecentDestinations(), (std::vector<std::string> {"/MNT/ONE", "/mnt/two"}));
    AddRecoveryStatistics(3, 0xFFFFFFFFull);
    AddRecoveryStatistics(2, 1);
    EXPECT_EQ(p.ReadInt("UsageStatistics", "FilesRecoveredInTotal", 0), 5);
    EXPECT_EQ(p.ReadUInt64("UsageStatistics", "AmountRecoveredInTotal"), 0x100000000ull);
    p.Unload();
}

}  // namespace
