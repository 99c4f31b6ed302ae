// Reading a whole file from disk (the certificate check of the status).

#include <FakeHostTest.h>
#include <KestrumException.h>
#include <SystemToolbox.h>

#include <Toolbox.h>

#include <filesystem>

#include <fstream>
#include <string>

using QuelbyCloud::Testing::FakeHostTest;

namespace
{
  class ReadWholeFileTest : public FakeHostTest
  {
  protected:
    std::filesystem::path directory;

    void SetUp() override
    {
      FakeHostTest::SetUp();
      directory = std::filesystem::temp_directory_path() /
                  ("quelby-read-" + Kestrum::Toolbox::GenerateUuid());
      std::filesystem::create_directories(directory);
    }

    void TearDown() override
    {
      std::filesystem::remove_all(directory);
      FakeHostTest::TearDown();
    }

    std::string Write(const std::string& name, const std::string& content)
    {
      const std::filesystem::path path = directory / name;
      std::ofstream file(path.string().c_str(), std::ios::binary);
      file.write(content.data(), content.size());
      return path.string();
    }

    // The code of the failure and whether exactly one error line named the path.
    std::pair<int, std::vector<std::string> > Failure(const std::string& path)
    {
      host.Reset();
      std::string content = "unchanged";
      try
      {
        Kestrum::ReadWholeFile(content, path);
      }
      catch (const Kestrum::KestrumException& e)
      {
        return std::make_pair(static_cast<int>(e.GetErrorCode()), host.Errors());
      }
      return std::make_pair(0, host.Errors());
    }
  };
}


TEST_F(ReadWholeFileTest, ReadsEveryByteOfARegularFileOrALinkToIt)
{
  std::string binary("\x00\x01\xff\r\n\x1a", 6);
  binary += std::string(70000, 'x');
  const std::string path = Write("data.bin", binary);

  std::string content = "previous text";
  Kestrum::ReadWholeFile(content, path);
  EXPECT_TRUE(content == binary);

  const std::filesystem::path link = directory / "link.pem";
  std::filesystem::create_symlink(path, link);
  content.clear();
  Kestrum::ReadWholeFile(content, link.string());
  EXPECT_TRUE(content == binary);

  content = "previous text";
  Kestrum::ReadWholeFile(content, Write("empty", ""));
  EXPECT_TRUE(content.empty());
  EXPECT_TRUE(host.Errors().empty());
}


TEST_F(ReadWholeFileTest, WhatIsNotARegularFileIsRefusedWithItsPathInTheLog)
{
  const std::string missing = (directory / "missing.pem").string();
  const std::filesystem::path dangling = directory / "dangling.pem";
  std::filesystem::create_symlink(directory / "nowhere", dangling);

  for (const std::string& path : { missing, directory.string(), dangling.string(), std::string() })
  {
    const std::pair<int, std::vector<std::string> > failure = Failure(path);
    EXPECT_EQ(Kestrum::ErrorCode_RegularFileExpected, failure.first) << path;
    ASSERT_EQ(1u, failure.second.size()) << path;
    EXPECT_EQ("The specified path does not point to a regular file: "
              "The path does not point to a regular file: " + path, failure.second[0]);
  }
}
