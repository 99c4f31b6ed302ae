#include <HostBridge/HostBridge.h>

#include <gtest/gtest.h>

TEST(HostVersion, AcceptedFromOnePointFourPointTwo)
{
  for (const char* version : { "mainline", "1.4.2", "1.4.10", "1.5.0", "2.0.0", "1.4.2.7", "1.4.2-rc", "9999.0.0" })
  {
    EXPECT_TRUE(QuelbyCloud::CheckHostVersion(version, 1, 4, 2)) << version;
  }
}

TEST(HostVersion, RefusedWhenOlderOrUnreadable)
{
  for (const char* version : { "1.4.1", "1.3.9", "0.9.9", "1.4", "", "beta", "Mainline", "mainline ",
                               "12345.0.0", "1.12345.0", "v1.4.2", "1..4.2" })
  {
    EXPECT_FALSE(QuelbyCloud::CheckHostVersion(version, 1, 4, 2)) << "'" << version << "'";
  }
  EXPECT_FALSE(QuelbyCloud::CheckHostVersion(nullptr, 1, 4, 2));
}

TEST(HostVersion, ComparesEachNumberInTurn)
{
  EXPECT_TRUE(QuelbyCloud::CheckHostVersion("2.0.0", 1, 9, 9));
  EXPECT_FALSE(QuelbyCloud::CheckHostVersion("1.9.9", 2, 0, 0));
  EXPECT_TRUE(QuelbyCloud::CheckHostVersion("1.10.0", 1, 9, 9));
  EXPECT_FALSE(QuelbyCloud::CheckHostVersion("1.4.1", 1, 4, 2));
  EXPECT_TRUE(QuelbyCloud::CheckHostVersion("1.4.3", 1, 4, 2));
}
