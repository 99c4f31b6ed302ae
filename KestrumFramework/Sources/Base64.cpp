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
  }
}
