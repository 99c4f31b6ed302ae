#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace Kestrum
{
  namespace Toolbox
  {
    /** Base64 with the standard alphabet, the last group padded with "=". */
    std::string EncodeBase64(const std::string& data);

    /** The bytes of standard Base64 text (padding required); empty on any other character or length. */
    std::optional<std::string> DecodeBase64(std::string_view text);
  }
}
