#include "Base64.h"

namespace Kestrum
{
  namespace Toolbox
  {
    std::string EncodeBase64(const std::string& data)
    {
      static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

      std::string result;
      result.reserve(((data.size() + 2) / 3) * 4);

      size_t i = 0;
      for (; i + 3 <= data.size(); i += 3)
      {
        const unsigned int group = ((static_cast<unsigned char>(data[i]) << 16) |
                                    (static_cast<unsigned char>(data[i + 1]) << 8) |
                                    static_cast<unsigned char>(data[i + 2]));
        result.push_back(alphabet[(group >> 18) & 0x3f]);
        result.push_back(alphabet[(group >> 12) & 0x3f]);
        result.push_back(alphabet[(group >> 6) & 0x3f]);
        result.push_back(alphabet[group & 0x3f]);
      }

      const size_t remaining = data.size() - i;
      if (remaining > 0)
      {
        unsigned int group = static_cast<unsigned char>(data[i]) << 16;
        if (remaining == 2)
        {
          group |= static_cast<unsigned char>(data[i + 1]) << 8;
        }

        result.push_back(alphabet[(group >> 18) & 0x3f]);
        result.push_back(alphabet[(group >> 12) & 0x3f]);
        result.push_back(remaining == 2 ? alphabet[(group >> 6) & 0x3f] : '=');
        result.push_back('=');
      }

      return result;
    }
  
    std::optional<std::string> DecodeBase64(std::string_view text)
    {
      if (text.size() % 4 != 0)
      {
        return std::nullopt;
      }

      auto sextet = [](char c) -> int
      {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
      };

      std::string result;
      result.reserve(text.size() / 4 * 3);

      for (size_t i = 0; i < text.size(); i += 4)
      {
        // "=" only in the last one or two places of the last group.
        const bool last = (i + 4 == text.size());
        const size_t padding = (last && text[i + 3] == '=') ? (text[i + 2] == '=' ? 2 : 1) : 0;

        unsigned int group = 0;
        for (size_t j = 0; j < 4; j++)
        {
          const int value = (j >= 4 - padding) ? 0 : sextet(text[i + j]);
          if (value < 0)
          {
            return std::nullopt;
          }
          group = (group << 6) | static_cast<unsigned int>(value);
        }

        result.push_back(static_cast<char>((group >> 16) & 0xff));
        if (padding < 2)
        {
          result.push_back(static_cast<char>((group >> 8) & 0xff));
        }
        if (padding < 1)
        {
          result.push_back(static_cast<char>(group & 0xff));
        }
      }

      return result;
    }
  }
}
