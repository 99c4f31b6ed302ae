#include <Base64.h>
#include <KestrumException.h>
#include <SegmentedBuffer.h>
#include <Toolbox.h>

#include <FakeHostTest.h>

#include <regex>
#include <set>

using Kestrum::KestrumException;
using namespace Kestrum::SerializationToolbox;

TEST(Uuid, RandomLowerCaseCanonicalForm)
{
  const std::regex form("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 100; i++)
  {
    const std::string uuid = Kestrum::Toolbox::GenerateUuid();
    EXPECT_TRUE(std::regex_match(uuid, form)) << uuid;
    seen.insert(uuid);
  }
  EXPECT_EQ(100u, seen.size());
}

TEST(StripTrailingSlashes, RemovesEveryFinalSlashOnly)
{
  EXPECT_EQ("http://a/b", Kestrum::Toolbox::StripTrailingSlashes("http://a/b///"));
  EXPECT_EQ("http://a/b", Kestrum::Toolbox::StripTrailingSlashes("http://a/b"));
  EXPECT_EQ("/a", Kestrum::Toolbox::StripTrailingSlashes("/a/"));
  EXPECT_EQ("", Kestrum::Toolbox::StripTrailingSlashes("///"));
  EXPECT_EQ("", Kestrum::Toolbox::StripTrailingSlashes(""));
}

TEST(Base64, CoversEveryPaddingAndTheWholeAlphabetBothWays)
{
  using Kestrum::Toolbox::DecodeBase64;
  using Kestrum::Toolbox::EncodeBase64;
  const std::pair<std::string, std::string> pairs[] = {
    { "", "" }, { "f", "Zg==" }, { "fo", "Zm8=" }, { "foo", "Zm9v" }, { "foobar", "Zm9vYmFy" },
    { std::string("\xfb\xff\xbf", 3), "+/+/" }, { std::string("\x00\xff", 2), "AP8=" } };
  for (const auto& [bytes, text] : pairs)
  {
    EXPECT_EQ(text, EncodeBase64(bytes));
    EXPECT_EQ(bytes, DecodeBase64(text).value_or("<refused>"));
  }

  for (const char* bad : { "Zg=", "Z===", "Zg==Zg==", "Zm9v!A==", "=Zm9" })
  {
    EXPECT_FALSE(DecodeBase64(bad)) << bad;
  }
}


TEST(Json, ReadsCommentsRefusesGarbageWritesCompact)
{
  const std::optional<Json::Value> value =
    Kestrum::Toolbox::ReadJson("{ // host configuration\n \"A\" : [1, 2] /* inline */ }");
  ASSERT_TRUE(value);
  EXPECT_EQ(2u, (*value)["A"].size());

  EXPECT_FALSE(Kestrum::Toolbox::ReadJson("{ \"A\" : "));
  EXPECT_FALSE(Kestrum::Toolbox::ReadJson(std::string(100000, '[')));   // refused, not a stack overflow

  // Objects only, and only UTF-8: what is read may be written back.
  EXPECT_TRUE(Kestrum::Toolbox::ReadJsonObject("{\"a\": \"\xc3\xa9\"}"));
  EXPECT_FALSE(Kestrum::Toolbox::ReadJsonObject("{\"a\": \"\xe9\"}"));
  EXPECT_FALSE(Kestrum::Toolbox::ReadJsonObject("[1]"));
  EXPECT_TRUE(Kestrum::Toolbox::ReadJson("[1]"));

  Json::Value object = Json::objectValue;
  object["b"] = "x y";
  object["a"] = true;
  EXPECT_EQ("{\"a\":true,\"b\":\"x y\"}", Kestrum::Toolbox::WriteCompactJson(object));
}


class SerializationTest : public QuelbyCloud::Testing::FakeHostTest
{
protected:
  // Runs the call, expects code 15, returns the details text (empty when none).
  template <typename F>
  std::string FailureDetails(F call)
  {
    try
    {
      call();
    }
    catch (const KestrumException& e)
    {
      EXPECT_EQ(Kestrum::ErrorCode_BadFileFormat, e.GetErrorCode());
      return e.GetDetails();
    }
    ADD_FAILURE() << "no exception";
    return "";
  }

  Json::Value Parse(const std::string& text)
  {
    const std::optional<Json::Value> value = Kestrum::Toolbox::ReadJson(text);
    EXPECT_TRUE(value);
    return value.value_or(Json::Value());
  }
};

TEST_F(SerializationTest, RequiredStringAndBoolean)
{
  const Json::Value value = Parse(R"({"s":"text","b":false,"n":1,"z":null,"t":"true"})");
  EXPECT_EQ("text", ReadRequiredString(value, "s"));
  EXPECT_FALSE(ReadRequiredBoolean(value, "b"));

  for (const char* field : { "missing", "n", "z", "b" })
  {
    EXPECT_EQ(std::string("String value expected in field: ") + field,
              FailureDetails([&] { ReadRequiredString(value, field); }));
  }
  for (const char* field : { "missing", "n", "t", "s" })
  {
    EXPECT_EQ(std::string("Boolean value expected in field: ") + field,
              FailureDetails([&] { ReadRequiredBoolean(value, field); }));
  }
  EXPECT_EQ("String value expected in field: s", FailureDetails([&] { ReadRequiredString(Parse("[\"s\"]"), "s"); }));

  // Each failure wrote its one line.
  const auto errors = host.Errors();
  ASSERT_EQ(9u, errors.size());
  EXPECT_EQ("Bad file format: String value expected in field: missing", errors[0]);
  EXPECT_EQ("Bad file format: Boolean value expected in field: t", errors[6]);
}

TEST_F(SerializationTest, StringMaps)
{
  std::map<std::string, std::string> target = { { "old", "entry" } };
  ReadStringMap(target, Parse(R"({"m":{"b":"2","a":"1"}})"), "m");
  EXPECT_EQ((std::map<std::string, std::string>{ { "a", "1" }, { "b", "2" } }), target);

  EXPECT_EQ("Associative array of strings to strings expected in field: m",
            FailureDetails([&] { ReadStringMap(target, Parse(R"({"m":["a"]})"), "m"); }));
  EXPECT_EQ("Associative array of strings to strings expected in field: m",
            FailureDetails([&] { ReadStringMap(target, Parse(R"({})"), "m"); }));
  EXPECT_EQ("Associative array of string to strings expected in field: m",
            FailureDetails([&] { ReadStringMap(target, Parse(R"({"m":{"a":"1","b":2,"c":"3"}})"), "m"); }));
  EXPECT_EQ((std::map<std::string, std::string>{ { "a", "1" } }), target);   // entries before the failing one stay

  Json::Value written = Json::objectValue;
  WriteStringMap(written, { { "Authorization", "Basic x" } }, "HttpHeaders");
  std::map<std::string, std::string> back;
  ReadStringMap(back, written, "HttpHeaders");
  EXPECT_EQ((std::map<std::string, std::string>{ { "Authorization", "Basic x" } }), back);

  const size_t linesBefore = host.Errors().size();
  EXPECT_EQ("", FailureDetails([&] { WriteStringMap(written, {}, "HttpHeaders"); }));   // already there
  Json::Value array = Json::arrayValue;
  EXPECT_EQ("", FailureDetails([&] { WriteStringMap(array, {}, "X"); }));
  EXPECT_EQ(linesBefore, host.Errors().size());   // no details, no line
}


TEST(SegmentedBuffer, SmallChunksStayPendingUntilTheyOverflow)
{
  Kestrum::SegmentedBuffer buffer;
  const std::string first(10000, 'a'), second(10000, 'b');
  buffer.AddChunk(first);
  EXPECT_EQ(0u, buffer.GetNumPieces());
  buffer.AddChunk(second);
  EXPECT_EQ(1u, buffer.GetNumPieces());   // the first 10000 bytes, stored as one piece
  EXPECT_EQ(20000u, buffer.GetNumBytes());

  std::string flat;
  buffer.Flatten(flat);
  EXPECT_EQ(first + second, flat);
  EXPECT_EQ(0u, buffer.GetNumBytes());
}

TEST(SegmentedBuffer, LargeChunksAreStoredDirectlyAndBoundariesHold)
{
  Kestrum::SegmentedBuffer buffer;
  std::string large(20000, '\0');
  for (size_t i = 0; i < large.size(); i++)
  {
    large[i] = static_cast<char>(i * 7);
  }
  buffer.AddChunk(large);
  EXPECT_EQ(1u, buffer.GetNumPieces());

  // Exactly filling the pending area keeps it pending; one more byte spills it.
  const std::string exact(Kestrum::SegmentedBuffer::PENDING_SIZE, 'x');
  buffer.AddChunk(exact);
  EXPECT_EQ(1u, buffer.GetNumPieces());
  buffer.AddChunk("y");
  EXPECT_EQ(2u, buffer.GetNumPieces());
  buffer.AddChunk(nullptr, 0);
  buffer.AddChunk(std::string());

  std::string flat;
  buffer.Flatten(flat);
  EXPECT_EQ(large + exact + "y", flat);
}

TEST(SegmentedBuffer, EmptyFlattenAndReuse)
{
  Kestrum::SegmentedBuffer buffer;
  std::string flat = "previous";
  buffer.Flatten(flat);
  EXPECT_EQ("", flat);

  buffer.AddChunk("first use");
  buffer.Flatten(flat);
  EXPECT_EQ("first use", flat);

  buffer.AddChunk("second ");
  buffer.AddChunk(std::string(30000, 'z'));
  buffer.Flatten(flat);
  EXPECT_EQ("second " + std::string(30000, 'z'), flat);
}
