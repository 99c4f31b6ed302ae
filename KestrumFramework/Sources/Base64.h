#pragma once

#include <string>

namespace Kestrum
{
  namespace Toolbox
  {
    /** Base64 with the standard alphabet, the last group padded with "=". */
    std::string EncodeBase64(const std::string& data);
  }
}
