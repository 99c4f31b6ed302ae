// kestrum-host's reading of a STOW-RS request: the first line of the input is
// the Content-Type header, the rest the body. The parser never throws, never
// reads outside the body, and the parts it returns are disjoint slices of the
// body, in order.

#include "FuzzSupport.h"

#include <Multipart.h>

#include <exception>

namespace
{
  const char* const TARGET = "FuzzStowMultipart";
}

int QuelbyCloud::Fuzzing::FuzzOne(const uint8_t* data, size_t size)
{
  const char* begin = reinterpret_cast<const char*>(data);
  const std::string_view input(begin, size);
  const size_t newline = input.find('\n');
  const std::string header(input.substr(0, newline));
  const std::string_view body = newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);

  try
  {
    const KestrumHost::ContentType type = KestrumHost::ParseContentType(header);
    const auto boundary = type.parameters.find("boundary");

    std::vector<KestrumHost::MultipartPart> parts;
    std::string error;
    const bool ok = KestrumHost::ParseMultipart(body, boundary == type.parameters.end() ? "" : boundary->second,
                                                parts, error);
    FUZZ_CHECK(TARGET, ok || !error.empty(), "a refused body without a reason");

    const char* previousEnd = body.data();
    for (const KestrumHost::MultipartPart& part : parts)
    {
      FUZZ_CHECK(TARGET, part.body.empty() ||
                 (part.body.data() >= previousEnd && part.body.data() + part.body.size() <= body.data() + body.size()),
                 "a part is not a slice of the body after the previous part");
      FUZZ_CHECK(TARGET, part.valid || !part.error.empty(), "an invalid part without a reason");
      if (!part.body.empty())
      {
        previousEnd = part.body.data() + part.body.size();
      }
    }
  }
  catch (const std::exception& e)
  {
    Fail(TARGET, std::string("threw: ") + e.what());
  }

  return 0;
}
