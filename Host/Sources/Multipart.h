#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace KestrumHost
{
  /** A parsed Content-Type: lower-case media type and parameters (names lower case, values unquoted). */
  struct ContentType
  {
    std::string mediaType;
    std::map<std::string, std::string> parameters;
  };

  ContentType ParseContentType(const std::string& header);

  /** One part of a multipart body; the body is a view into the parsed buffer. */
  struct MultipartPart
  {
    std::map<std::string, std::string> headers;  // names in lower case
    std::string_view body;
    bool valid = true;
    std::string error;   // why the part is not valid
  };

  /**
   * Splits a multipart body on its boundary. A part whose Content-Length lands
   * exactly on the next delimiter is cut there (so its bytes may contain anything);
   * otherwise the part runs to the next delimiter. A part with malformed headers is
   * returned with valid == false so that the caller can report it and go on.
   * Returns false, with a reason, when the body as a whole is not multipart (no
   * opening delimiter, or no closing one).
   */
  bool ParseMultipart(std::string_view body, const std::string& boundary,
                      std::vector<MultipartPart>& parts, std::string& error);
}
