#include "UriDecoding.h"

namespace KestrumHost
{
  namespace
  {
    int HexValue(char c)
    {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    }

    /** Appends the decoded "key=value" argument; an empty one is skipped. */
    void AddArgument(const std::string& argument, RestRequest& request)
    {
      if (argument.empty())
      {
        return;
      }
      size_t equal = argument.find('=');
      std::string key = PercentDecode(argument.substr(0, equal), true);
      std::string value = (equal == std::string::npos ? "" : PercentDecode(argument.substr(equal + 1), true));
      request.query.emplace_back(std::move(key), std::move(value));
    }
  }

  std::string PercentDecode(const std::string& text, bool plusIsSpace)
  {
    std::string result;
    result.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++)
    {
      if (text[i] == '%' && i + 2 < text.size() &&
          HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0)
      {
        result += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
        i += 2;
      }
      else if (plusIsSpace && text[i] == '+')
      {
        result += ' ';
      }
      else
      {
        result += text[i];
      }
    }
    return result;
  }

  void ParseUri(const std::string& uri, RestRequest& request)
  {
    size_t question = uri.find('?');
    request.path = PercentDecode(uri.substr(0, question), false);
    request.query.clear();
    if (question == std::string::npos)
    {
      return;
    }
    const std::string query = uri.substr(question + 1);
    size_t start = 0;
    while (start <= query.size())
    {
      size_t end = query.find('&', start);
      if (end == std::string::npos)
      {
        end = query.size();
      }
      AddArgument(query.substr(start, end - start), request);
      start = end + 1;
    }
  }
}
