#include "Multipart.h"

#include <gtest/gtest.h>

using namespace KestrumHost;

namespace
{
  std::string Part(const std::string& boundary, const std::string& headers, const std::string& body)
  {
    return "--" + boundary + "\r\n" + headers + "\r\n" + body + "\r\n";
  }
}

TEST(ContentTypeTest, QuotedAndUnquotedParametersGiveTheSameValues)
{
  ContentType quoted = ParseContentType("Multipart/Related; type=\"application/dicom\"; boundary=\"a b;c\"");
  EXPECT_EQ("multipart/related", quoted.mediaType);
  EXPECT_EQ("application/dicom", quoted.parameters["type"]);
  EXPECT_EQ("a b;c", quoted.parameters["boundary"]);  // ";" inside quotes does not end the value

  ContentType unquoted = ParseContentType("multipart/related;TYPE=application/dicom ;boundary=XyZ-123");
  EXPECT_EQ("multipart/related", unquoted.mediaType);
  EXPECT_EQ("application/dicom", unquoted.parameters["type"]);
  EXPECT_EQ("XyZ-123", unquoted.parameters["boundary"]);

  ContentType bare = ParseContentType("application/dicom");
  EXPECT_EQ("application/dicom", bare.mediaType);
  EXPECT_TRUE(bare.parameters.empty());
}

TEST(MultipartTest, PartsWithAndWithoutContentLength)
{
  const std::string boundary = "=_boundary+.-42";
  // The first body holds the delimiter text itself: only its Content-Length can keep it whole.
  const std::string tricky = std::string("DICM\0\1", 6) + "\r\n--" + boundary + "\r\nnot a delimiter";
  std::string body = "preamble to ignore\r\n" +
    Part(boundary, "Content-Type: application/dicom\r\nContent-Length: " + std::to_string(tricky.size()) + "\r\n", tricky) +
    Part(boundary, "Content-Type: application/dicom\r\n", "second") +
    Part(boundary, "content-length: 99\r\n", "third, wrong length") +
    "--" + boundary + "--\r\nepilogue";

  std::vector<MultipartPart> parts;
  std::string error;
  ASSERT_TRUE(ParseMultipart(body, boundary, parts, error)) << error;
  ASSERT_EQ(3u, parts.size());
  EXPECT_EQ(tricky, std::string(parts[0].body));
  EXPECT_EQ("application/dicom", parts[0].headers["content-type"]);
  EXPECT_EQ("second", std::string(parts[1].body));
  EXPECT_EQ("third, wrong length", std::string(parts[2].body));  // a length that misses falls back to the delimiter
  for (const MultipartPart& part : parts)
  {
    EXPECT_TRUE(part.valid);
  }
}

TEST(MultipartTest, BodyStartingWithDelimiterAndEmptyPart)
{
  std::string body = Part("b", "Content-Type: application/dicom\r\n", "") + Part("b", "", "x") + "--b--";
  std::vector<MultipartPart> parts;
  std::string error;
  ASSERT_TRUE(ParseMultipart(body, "b", parts, error)) << error;
  ASSERT_EQ(2u, parts.size());
  EXPECT_EQ("", std::string(parts[0].body));
  EXPECT_EQ("x", std::string(parts[1].body));
}

TEST(MultipartTest, BadPartIsReportedAndTheNextOneStillParsed)
{
  std::string body = Part("B", "this line has no colon\r\n", "garbage") +
    "--B\r\nContent-Type: application/dicom\r\nno end of headers here\r\n" +
    Part("B", "Content-Type: application/dicom\r\n", "good") + "--B--\r\n";
  std::vector<MultipartPart> parts;
  std::string error;
  ASSERT_TRUE(ParseMultipart(body, "B", parts, error)) << error;
  ASSERT_EQ(3u, parts.size());
  EXPECT_FALSE(parts[0].valid);
  EXPECT_FALSE(parts[0].error.empty());
  EXPECT_FALSE(parts[1].valid);
  EXPECT_TRUE(parts[2].valid);
  EXPECT_EQ("good", std::string(parts[2].body));
}

TEST(MultipartTest, BodiesThatAreNotMultipartAreRefused)
{
  std::vector<MultipartPart> parts;
  std::string error;
  EXPECT_FALSE(ParseMultipart("just some bytes", "B", parts, error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(ParseMultipart(Part("B", "A: b\r\n", "never closed"), "B", parts, error));
  EXPECT_FALSE(ParseMultipart("--B\r\n\r\nx\r\n--B--", "", parts, error));  // no boundary given
  EXPECT_FALSE(ParseMultipart("--Bxx", "B", parts, error));                // delimiter not followed by a line break
  EXPECT_FALSE(ParseMultipart("", "B", parts, error));
}
