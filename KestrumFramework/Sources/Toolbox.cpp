#include "Toolbox.h"

#include "KestrumException.h"

#include <json/reader.h>
#include <json/writer.h>
#include <algorithm>
#include <cctype>
#include <memory>
#include <vector>
#include <uuid/uuid.h>

namespace Kestrum
{
  namespace Toolbox
  {
    std::string ToLowerAscii(std::string_view text)
    {
      std::string result(text);
      for (char& c : result)
      {
        if (c >= 'A' && c <= 'Z')
        {
          c = static_cast<char>(c - 'A' + 'a');
        }
      }
      return result;
    }


    std::string TrimSpaces(std::string_view text)
    {
      const size_t begin = text.find_first_not_of(" \t\r\n");
      if (begin == std::string_view::npos)
      {
        return std::string();
      }
      return std::string(text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1));
    }


    std::string GenerateUuid()
    {
      uuid_t uuid;
      uuid_generate_random(uuid);

      char text[37];
      uuid_unparse_lower(uuid, text);
      return std::string(text);
    }

    std::string StripTrailingSlashes(const std::string& text)
    {
      size_t end = text.find_last_not_of('/');
      return end == std::string::npos ? std::string() : text.substr(0, end + 1);
    }

    std::optional<Json::Value> ReadJson(std::string_view text)
    {
      std::string errors;
      return ReadJsonWithErrors(text, errors);
    }

    std::optional<Json::Value> ReadJsonWithErrors(std::string_view text, std::string& errors)
    {
      // Built once: building the settings costs as much as parsing a small
      // answer, and a const builder is safe to share between threads.
      static const Json::CharReaderBuilder builder = []
      {
        // Far deeper than any document of ours, shallow enough for any stack.
        const int MAX_NESTING = 256;

        Json::CharReaderBuilder settings;
        settings["allowComments"] = true;
        settings["collectComments"] = true;
        settings["stackLimit"] = MAX_NESTING;
        return settings;
      }();

      const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
      Json::Value value;
      try
      {
        if (reader->parse(text.data(), text.data() + text.size(), &value, &errors))
        {
          return value;
        }
      }
      catch (const Json::Exception& e)
      {
        // Nesting beyond the limit is thrown, not reported: bad text like any other.
        errors = e.what();
      }
      return std::nullopt;
    }

    std::optional<Json::Value> ReadJsonObject(std::string_view text)
    {
      // jsoncpp's writers re-encode bytes that are not UTF-8: a text read from
      // such a document would change when written back (a stored credential).
      if (!IsValidUtf8(text.data(), text.data() + text.size()))
      {
        return std::nullopt;
      }

      std::optional<Json::Value> value = ReadJson(text);
      if (!value || !value->isObject())
      {
        return std::nullopt;
      }
      return value;
    }

    bool IsValidUtf8(const char* begin, const char* end)
    {
      const unsigned char* p = reinterpret_cast<const unsigned char*>(begin);
      const unsigned char* stop = reinterpret_cast<const unsigned char*>(end);

      while (p < stop)
      {
        const unsigned char lead = *p;
        size_t length;
        unsigned char low = 0x80;    // range of the byte after the lead
        unsigned char high = 0xbf;

        if (lead < 0x80)
        {
          p++;
          continue;
        }
        else if (lead >= 0xc2 && lead <= 0xdf)
        {
          length = 2;
        }
        else if (lead >= 0xe0 && lead <= 0xef)
        {
          length = 3;
          if (lead == 0xe0) low = 0xa0;          // overlong
          if (lead == 0xed) high = 0x9f;         // surrogates
        }
        else if (lead >= 0xf0 && lead <= 0xf4)
        {
          length = 4;
          if (lead == 0xf0) low = 0x90;          // overlong
          if (lead == 0xf4) high = 0x8f;         // above U+10FFFF
        }
        else
        {
          return false;
        }

        if (static_cast<size_t>(stop - p) < length ||
            p[1] < low || p[1] > high)
        {
          return false;
        }
        for (size_t i = 2; i < length; i++)
        {
          if (p[i] < 0x80 || p[i] > 0xbf)
          {
            return false;
          }
        }
        p += length;
      }

      return true;
    }

    std::optional<unsigned int> ParsePort(std::string_view text)
    {
      if (text.empty() || text.size() > 5 ||
          !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
      {
        return std::nullopt;
      }

      const unsigned long port = std::stoul(std::string(text));
      if (port == 0 || port > 65535)
      {
        return std::nullopt;
      }
      return static_cast<unsigned int>(port);
    }


    std::optional<UrlAuthority> ParseUrlAuthority(std::string_view url)
    {
      const size_t schemeEnd = url.find("://");
      if (schemeEnd == std::string_view::npos)
      {
        return std::nullopt;
      }

      UrlAuthority result;
      result.scheme = ToLowerAscii(url.substr(0, schemeEnd));

      std::string_view authority = url.substr(schemeEnd + 3);
      authority = authority.substr(0, authority.find_first_of("/?#"));

      const size_t at = authority.rfind('@');
      if (at != std::string_view::npos)
      {
        authority = authority.substr(at + 1);
      }

      std::string_view portText;
      bool hasPort = false;

      if (!authority.empty() && authority[0] == '[')
      {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos)
        {
          return std::nullopt;
        }
        result.host = std::string(authority.substr(1, close - 1));
        const std::string_view rest = authority.substr(close + 1);
        if (!rest.empty())
        {
          if (rest[0] != ':')
          {
            return std::nullopt;
          }
          hasPort = true;
          portText = rest.substr(1);
        }
      }
      else
      {
        const size_t colon = authority.find(':');
        // A bare IPv6 address has several colons and no port.
        if (colon == std::string_view::npos || authority.find(':', colon + 1) != std::string_view::npos)
        {
          result.host = std::string(authority);
        }
        else
        {
          result.host = std::string(authority.substr(0, colon));
          hasPort = true;
          portText = authority.substr(colon + 1);
        }
      }

      // "host:" with nothing after the colon means the scheme's port.
      if (hasPort && !portText.empty())
      {
        result.port = ParsePort(portText);
        if (!result.port)
        {
          return std::nullopt;
        }
      }

      return result;
    }


    bool IsLoopbackHost(std::string_view host)
    {
      const std::string lower = ToLowerAscii(host);
      if (lower == "localhost" || lower == "::1")
      {
        return true;
      }

      // Four decimal fields of at most three digits, the first being 127.
      std::vector<std::string> fields(1);
      for (char c : lower)
      {
        if (c == '.')
        {
          fields.emplace_back();
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

      return fields.size() == 4 && fields[0] == "127" &&
        std::all_of(fields.begin(), fields.end(),
                    [](const std::string& field) { return !field.empty() && std::stoul(field) <= 255; });
    }


    std::string WriteCompactJson(const Json::Value& value)
    {
      static const Json::StreamWriterBuilder builder = []
      {
        Json::StreamWriterBuilder settings;
        settings["indentation"] = "";
        return settings;
      }();
      return Json::writeString(builder, value);
    }
  }


  namespace SerializationToolbox
  {
    static bool HasMember(const Json::Value& value, const std::string& field)
    {
      return value.type() == Json::objectValue && value.isMember(field);
    }

    std::string ReadRequiredString(const Json::Value& value, const std::string& field)
    {
      if (!HasMember(value, field) || value[field].type() != Json::stringValue)
      {
        throw KestrumException(ErrorCode_BadFileFormat, "String value expected in field: " + field, true);
      }
      return value[field].asString();
    }

    bool ReadRequiredBoolean(const Json::Value& value, const std::string& field)
    {
      if (!HasMember(value, field) || value[field].type() != Json::booleanValue)
      {
        throw KestrumException(ErrorCode_BadFileFormat, "Boolean value expected in field: " + field, true);
      }
      return value[field].asBool();
    }

    void ReadStringMap(std::map<std::string, std::string>& target,
                       const Json::Value& value,
                       const std::string& field)
    {
      if (!HasMember(value, field) || value[field].type() != Json::objectValue)
      {
        throw KestrumException(ErrorCode_BadFileFormat,
                               "Associative array of strings to strings expected in field: " + field, true);
      }

      target.clear();
      const Json::Value& source = value[field];
      for (const std::string& name : source.getMemberNames())
      {
        if (source[name].type() != Json::stringValue)
        {
          throw KestrumException(ErrorCode_BadFileFormat,
                                 "Associative array of string to strings expected in field: " + field, true);
        }
        target[name] = source[name].asString();
      }
    }

    void WriteStringMap(Json::Value& target,
                        const std::map<std::string, std::string>& values,
                        const std::string& field)
    {
      if (target.type() != Json::objectValue || target.isMember(field))
      {
        throw KestrumException(ErrorCode_BadFileFormat);
      }

      Json::Value map = Json::objectValue;
      for (const auto& entry : values)
      {
        map[entry.first] = entry.second;
      }
      target[field] = map;
    }
  }
}
