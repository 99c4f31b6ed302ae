#include <Enumerations.h>
#include <KestrumException.h>
#include <Logging.h>

#include <FakeHostTest.h>

#include <climits>
#include <map>
#include <memory>

using Kestrum::ErrorCode;
using Kestrum::KestrumException;
using QuelbyCloud::Testing::FakeHostTest;

TEST(ErrorTable, DescriptionsAreTheHostTexts)
{
  const std::map<int32_t, std::string> expected = {
    { -1, "Internal error" },
    { 0, "Success" },
    { 1, "Error encountered within the plugin engine" },
    { 4, "The server hosting Kestrum is running out of memory" },
    { 15, "Bad file format" },
    { 17, "Unknown resource" },
    { 20, "Corrupted file (e.g. inconsistent MD5 hash)" },
    { 38, "Geometry error encountered in Pelmar" },
    { 40, "Calling a function that has been removed from the Kestrum Framework" },
    { 1005, "SQLite: Rolling back a nonexistent transaction (have you called Begin()?)" },
    { 1011, "SQLite: Bing a value while out of range (serious error)" },
    { 1015, "SQLite: Cannot start a transaction" },
    { 2000, "The directory to be created is already occupied by a regular file" },
    { 2021, "Use \"Content\" to inject an image into a new DICOM instance" },
    { 2044, "No request handler factory for DICOM C-GET SCP" },
    { 3000, "Unsupported media type" },
  };

  for (const auto& entry : expected)
  {
    EXPECT_STREQ(entry.second.c_str(), Kestrum::DescribeErrorCode(entry.first)) << "code " << entry.first;
  }
}

TEST(ErrorTable, CodesOutsideTheTableGetTheFallbackTexts)
{
  for (int32_t code : { -2, 41, 999, 1016, 1999, 2045, 2999, 3001, 999999, INT32_MIN })
  {
    EXPECT_STREQ("Unknown error code", Kestrum::DescribeErrorCode(code)) << "code " << code;
  }
  for (int32_t code : { 1000000, 1000001, INT32_MAX })
  {
    EXPECT_STREQ("Error encountered within some plugin", Kestrum::DescribeErrorCode(code)) << "code " << code;
  }
}

TEST(ErrorTable, HttpStatusOfEveryCode)
{
  std::map<int32_t, int> special = {
    { 0, 200 },
    { 3, 400 }, { 5, 400 }, { 8, 400 }, { 12, 400 }, { 15, 400 }, { 28, 400 },
    { 29, 401 },
    { 7, 404 }, { 13, 404 }, { 17, 404 }, { 21, 404 },
    { 34, 406 },
    { 3000, 415 },
    { 36, 503 },
  };
  for (int32_t code = 2019; code <= 2025; code++)
  {
    special[code] = 400;
  }

  // Every code of the table and its neighbourhood; all the others are 500.
  std::vector<int32_t> codes = { INT32_MIN, 999999, 1000000, 2000000, INT32_MAX };
  for (int32_t code = -3; code <= 3005; code++)
  {
    codes.push_back(code);
  }

  for (int32_t code : codes)
  {
    auto found = special.find(code);
    const int expected = (found == special.end() ? 500 : found->second);
    EXPECT_EQ(expected, Kestrum::ErrorCodeToHttpStatus(code)) << "code " << code;
  }
}


class ExceptionTest : public FakeHostTest
{
};

TEST_F(ExceptionTest, CodeAloneLogsNothingAndCarriesItsStatus)
{
  KestrumException e(Kestrum::ErrorCode_UnknownResource);
  EXPECT_EQ(Kestrum::ErrorCode_UnknownResource, e.GetErrorCode());
  EXPECT_EQ(404, e.GetHttpStatus());
  EXPECT_STREQ("Unknown resource", e.GetDescription());
  EXPECT_FALSE(e.HasDetails());
  EXPECT_TRUE(host.Logs().empty());
}

TEST_F(ExceptionTest, DetailsWithTheFlagWriteExactlyOneErrorLine)
{
  KestrumException e(Kestrum::ErrorCode_CorruptedFile, "The compressed buffer is ill-formed", true);
  EXPECT_STREQ("Corrupted file (e.g. inconsistent MD5 hash)", e.GetDescription());   // details are not in the description
  ASSERT_EQ(1u, host.Logs().size());
  EXPECT_EQ(std::vector<std::string>{ "Corrupted file (e.g. inconsistent MD5 hash): The compressed buffer is ill-formed" },
            host.Errors());
}

TEST_F(ExceptionTest, DetailsWithoutTheFlagAreKeptSilently)
{
  KestrumException e(Kestrum::ErrorCode_BadFileFormat, "quiet", false);
  EXPECT_TRUE(e.HasDetails());
  EXPECT_STREQ("quiet", e.GetDetails());
  EXPECT_TRUE(host.Logs().empty());
}

TEST_F(ExceptionTest, CopiesOwnTheirDetails)
{
  std::unique_ptr<KestrumException> original(
    new KestrumException(Kestrum::ErrorCode_BadFileFormat, "String value expected in field: Url", false));

  KestrumException copy(*original);
  KestrumException assigned(Kestrum::ErrorCode_Success);
  assigned = *original;
  EXPECT_NE(original->GetDetails(), copy.GetDetails());   // separate storage
  original.reset();

  for (const KestrumException* e : { &copy, &assigned })
  {
    EXPECT_EQ(Kestrum::ErrorCode_BadFileFormat, e->GetErrorCode());
    EXPECT_EQ(400, e->GetHttpStatus());
    ASSERT_TRUE(e->HasDetails());
    EXPECT_STREQ("String value expected in field: Url", e->GetDetails());
  }

  KestrumException withoutDetails(Kestrum::ErrorCode_Timeout);
  assigned = withoutDetails;
  EXPECT_FALSE(assigned.HasDetails());
  EXPECT_EQ(Kestrum::ErrorCode_Timeout, assigned.GetErrorCode());
  EXPECT_TRUE(host.Logs().empty());   // copying never logs again
}


class LoggingTest : public FakeHostTest
{
protected:
  void TearDown() override
  {
    Kestrum::Logging::SetInformationMask(0);
    FakeHostTest::TearDown();
  }
};

TEST_F(LoggingTest, ErrorsAndWarningsReachTheHostInformationAndTraceDoNot)
{
  LOG(INFO) << "information " << 1;
  LOG(TRACE) << "trace";
  LOG(WARNING) << "warning " << 2;
  LOG(ERROR) << "error " << 3;

  const auto logs = host.Logs();
  ASSERT_EQ(2u, logs.size());
  EXPECT_EQ(KestrumService_LogWarning, logs[0].service);
  EXPECT_EQ("warning 2", logs[0].text);
  EXPECT_EQ(KestrumService_LogError, logs[1].service);
  EXPECT_EQ("error 3", logs[1].text);
}

TEST_F(LoggingTest, InformationMaskOpensInformationLinesOnly)
{
  EXPECT_EQ(0u, Kestrum::Logging::GetInformationMask());
  EXPECT_EQ(0u, Kestrum::Logging::GetTraceMask());

  Kestrum::Logging::SetInformationMask(Kestrum::Logging::LogCategory_GENERIC);
  LOG(INFO) << "now visible";
  LOG(TRACE) << "still hidden";

  const auto logs = host.Logs();
  ASSERT_EQ(1u, logs.size());
  EXPECT_EQ(KestrumService_LogInformation, logs[0].service);
  EXPECT_EQ("now visible", logs[0].text);
}
