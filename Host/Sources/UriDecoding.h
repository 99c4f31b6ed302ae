#pragma once

#include "RestTypes.h"

#include <string>

namespace KestrumHost
{
  /** Splits "path?query" and percent-decodes both parts into a request ("+" is a space in the query only). */
  void ParseUri(const std::string& uri, RestRequest& request);

  /** Decodes "%XX" escapes; a "%" that two hexadecimal digits do not follow stays as it is. */
  std::string PercentDecode(const std::string& text, bool plusIsSpace);
}
