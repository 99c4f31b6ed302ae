#include "LoopbackDestination.h"

#include "../HostBridge/HostConfiguration.h"

#include <KestrumException.h>

#include <algorithm>
#include <cctype>
#include <vector>

namespace QuelbyCloud
{
  static const unsigned int DEFAULT_HTTP_PORT = 8042;


  static std::string ToLower(std::string text)
  {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
  }


  static bool ParsePort(unsigned int& port, const std::string& text)
  {
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
    {
      return false;
    }

    port = static_cast<unsigned int>(std::stoul(text));
    return port > 0 && port <= 65535;
  }


  static bool IsLoopbackIPv4(const std::string& host)
  {
    // Four decimal fields, the first being 127.
    std::vector<std::string> fields(1);
    for (char c : host)
    {
      if (c == '.')
      {
        fields.push_back("");
      }
      else if (std::isdigit(static_cast<unsigned char>(c)) && fields.back().size() < 3)
      {
        fields.back().push_back(c);
      }
      else
      {
        return false;
      }
    }

    if (fields.size() != 4 || fields[0] != "127")
    {
      return false;
    }

    for (const std::string& field : fields)
    {
      if (field.empty() || std::stoul(field) > 255)
      {
        return false;
      }
    }

    return true;
  }


  static bool IsLoopbackHost(const std::string& host)
  {
    const std::string lower = ToLower(host);
    return (lower == "localhost" ||
            lower == "::1" ||
            IsLoopbackIPv4(lower));
  }


  unsigned int ReadHostHttpPort()
  {
    try
    {
      HostConfiguration configuration;
      const Json::Value& value = configuration.GetJson()["HttpPort"];

      unsigned int port;
      if (value.isUInt() && value.asUInt() > 0 && value.asUInt() <= 65535)
      {
        return value.asUInt();
      }
      else if (value.isString() && ParsePort(port, value.asString()))
      {
        return port;
      }
    }
    catch (const Kestrum::KestrumException&)
    {
      // An unreadable configuration: the host then runs on its default port.
    }

    return DEFAULT_HTTP_PORT;
  }


  bool IsLocalUrlOnPort(const std::string& url, unsigned int port)
  {
    const size_t schemeEnd = url.find("://");
    if (schemeEnd == std::string::npos)
    {
      return false;
    }

    const std::string scheme = ToLower(url.substr(0, schemeEnd));

    std::string authority = url.substr(schemeEnd + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));

    const size_t at = authority.rfind('@');
    if (at != std::string::npos)
    {
      authority = authority.substr(at + 1);
    }

    std::string host;
    std::string portText;
    bool hasPort = false;

    if (!authority.empty() && authority[0] == '[')
    {
      const size_t close = authority.find(']');
      if (close == std::string::npos)
      {
        return false;
      }

      host = authority.substr(1, close - 1);
      const std::string rest = authority.substr(close + 1);
      if (!rest.empty())
      {
        if (rest[0] != ':')
        {
          return false;
        }
        hasPort = true;
        portText = rest.substr(1);
      }
    }
    else
    {
      const size_t colon = authority.find(':');
      host = authority.substr(0, colon);
      if (colon != std::string::npos)
      {
        // A bare IPv6 address has several colons and no port.
        if (authority.find(':', colon + 1) != std::string::npos)
        {
          host = authority;
        }
        else
        {
          hasPort = true;
          portText = authority.substr(colon + 1);
        }
      }
    }

    unsigned int urlPort;
    if (hasPort && !portText.empty())
    {
      if (!ParsePort(urlPort, portText))
      {
        return false;
      }
    }
    else if (scheme == "http")
    {
      urlPort = 80;
    }
    else if (scheme == "https")
    {
      urlPort = 443;
    }
    else
    {
      return false;
    }

    return urlPort == port && IsLoopbackHost(host);
  }
}
