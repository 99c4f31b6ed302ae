// Any path that a browser can put under "/app/": a content type always comes
// out, one that detection can give, independent of letter case and of the
// folders in front of the file name.

#include "FuzzSupport.h"

#include <KestrumException.h>
#include <SystemToolbox.h>

#include <algorithm>
#include <cctype>

namespace
{
  const char* const TARGET = "FuzzMimeType";

  std::string UpperAscii(std::string text)
  {
    std::transform(text.begin(), text.end(), text.begin(), [](char c)
    {
      return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    });
    return text;
  }
}

int QuelbyCloud::Fuzzing::FuzzOne(const uint8_t* data, size_t size)
{
  using namespace Kestrum;

  ResetHost();
  const std::string path(reinterpret_cast<const char*>(data), size);
  const MimeType type = MimeTypeFromPath(path);

  // Types that only other parts of the framework use are never detected.
  FUZZ_CHECK(TARGET, type != MimeType_Gzip && type != MimeType_Jpeg2000 && type != MimeType_Zip &&
             type != MimeType_PrometheusText && type != MimeType_DicomWebJson && type != MimeType_DicomWebXml,
             "detected a type outside the extension table: " + std::to_string(type));

  try
  {
    FUZZ_CHECK(TARGET, MimeTypeText(type) != nullptr, "no text for a detected type");
  }
  catch (const KestrumException&)
  {
    Fail(TARGET, "no text for the detected type " + std::to_string(type));
  }

  FUZZ_CHECK(TARGET, MimeTypeFromPath(UpperAscii(path)) == type, "detection depends on letter case");
  FUZZ_CHECK(TARGET, MimeTypeFromPath("/fonts/" + path) == type || path.empty() || path[0] == '/',
             "detection depends on the folders before the file name");

  // A detected type means the last component ends with a known extension.
  if (type != MimeType_Binary)
  {
    const size_t slash = path.find_last_of('/');
    const std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
    FUZZ_CHECK(TARGET, last.find('.') != std::string::npos, "a type detected without an extension");
  }

  return 0;
}
