#include "Multipart.h"

#include <algorithm>
#include <functional>

namespace KestrumHost
{
  namespace
  {
    std::string ToLower(std::string text)
    {
      std::transform(text.begin(), text.end(), text.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      return text;
    }

    std::string Trim(std::string_view text)
    {
      size_t begin = text.find_first_not_of(" \t");
      if (begin == std::string_view::npos)
      {
        return std::string();
      }
      size_t end = text.find_last_not_of(" \t");
      return std::string(text.substr(begin, end - begin + 1));
    }

    /** Parses "Name: value" lines; false when a line has no colon. */
    bool ParseHeaders(std::string_view block, std::map<std::string, std::string>& headers)
    {
      size_t start = 0;
      while (start < block.size())
      {
        size_t end = block.find("\r\n", start);
        if (end == std::string_view::npos)
        {
          end = block.size();
        }
        std::string_view line = block.substr(start, end - start);
        if (!line.empty())
        {
          size_t colon = line.find(':');
          if (colon == std::string_view::npos || colon == 0)
          {
            return false;
          }
          headers[ToLower(Trim(line.substr(0, colon)))] = Trim(line.substr(colon + 1));
        }
        start = end + 2;
      }
      return true;
    }

    bool ParseLength(const std::string& text, size_t& value)
    {
      if (text.empty() || text.size() > 15)
      {
        return false;
      }
      value = 0;
      for (char c : text)
      {
        if (c < '0' || c > '9')
        {
          return false;
        }
        value = value * 10 + static_cast<size_t>(c - '0');
      }
      return true;
    }
  }

  ContentType ParseContentType(const std::string& header)
  {
    ContentType result;
    size_t position = header.find(';');
    result.mediaType = ToLower(Trim(std::string_view(header).substr(0, position)));

    while (position != std::string::npos && position < header.size())
    {
      position++;  // past the ';'
      while (position < header.size() && (header[position] == ' ' || header[position] == '\t'))
      {
        position++;
      }
      size_t equal = header.find('=', position);
      size_t semicolon = header.find(';', position);
      if (equal == std::string::npos || (semicolon != std::string::npos && semicolon < equal))
      {
        position = semicolon;  // a parameter without value: skipped
        continue;
      }
      std::string name = ToLower(Trim(std::string_view(header).substr(position, equal - position)));
      size_t valueStart = equal + 1;
      while (valueStart < header.size() && (header[valueStart] == ' ' || header[valueStart] == '\t'))
      {
        valueStart++;
      }
      std::string value;
      if (valueStart < header.size() && header[valueStart] == '"')
      {
        // Quoted string: backslash escapes the next character.
        size_t i = valueStart + 1;
        for (; i < header.size() && header[i] != '"'; i++)
        {
          if (header[i] == '\\' && i + 1 < header.size())
          {
            i++;
          }
          value += header[i];
        }
        position = header.find(';', i);
      }
      else
      {
        semicolon = header.find(';', valueStart);
        value = Trim(std::string_view(header).substr(valueStart, semicolon == std::string::npos ?
                                                      std::string::npos : semicolon - valueStart));
        position = semicolon;
      }
      if (!name.empty())
      {
        result.parameters[name] = value;
      }
    }
    return result;
  }

  bool ParseMultipart(std::string_view body, const std::string& boundary,
                      std::vector<MultipartPart>& parts, std::string& error)
  {
    parts.clear();
    if (boundary.empty() || boundary.size() > 200)
    {
      error = "Missing or invalid multipart boundary";
      return false;
    }

    const std::string delimiter = "\r\n--" + boundary;
    std::boyer_moore_horspool_searcher searcher(delimiter.begin(), delimiter.end());
    auto findDelimiter = [&](size_t from) -> size_t
    {
      auto found = std::search(body.begin() + from, body.end(), searcher);
      return found == body.end() ? std::string_view::npos : static_cast<size_t>(found - body.begin());
    };

    // The first delimiter may open the body directly, without the leading CRLF.
    size_t position;
    if (body.compare(0, delimiter.size() - 2, std::string_view(delimiter).substr(2)) == 0)
    {
      position = delimiter.size() - 2;
    }
    else
    {
      size_t first = findDelimiter(0);
      if (first == std::string_view::npos)
      {
        error = "The body does not contain the multipart boundary";
        return false;
      }
      position = first + delimiter.size();
    }

    for (;;)
    {
      // "position" is just past a delimiter: "--" closes, otherwise a line break opens a part.
      if (body.compare(position, 2, "--") == 0)
      {
        return true;
      }
      while (position < body.size() && (body[position] == ' ' || body[position] == '\t'))
      {
        position++;  // transport padding
      }
      if (body.compare(position, 2, "\r\n") != 0)
      {
        error = "Malformed multipart delimiter line";
        return false;
      }
      position += 2;

      MultipartPart part;
      size_t next = std::string_view::npos;
      size_t headersEnd = body.find("\r\n\r\n", position);
      size_t contentStart;
      if (body.compare(position, 2, "\r\n") == 0)
      {
        contentStart = position + 2;  // a part without any header
      }
      else if (headersEnd == std::string_view::npos || headersEnd > findDelimiter(position))
      {
        // The headers never end within this part: report the part and go on with the next one.
        size_t end = findDelimiter(position);
        if (end == std::string_view::npos)
        {
          error = "The multipart body has no closing boundary";
          return false;
        }
        part.valid = false;
        part.error = "A multipart part has no end of headers";
        part.body = body.substr(position, end - position);
        parts.push_back(std::move(part));
        position = end + delimiter.size();
        continue;
      }
      else
      {
        contentStart = headersEnd + 4;
        if (!ParseHeaders(body.substr(position, headersEnd - position), part.headers))
        {
          part.valid = false;
          part.error = "Malformed part headers";
        }
      }

      auto length = part.headers.find("content-length");
      size_t declared;
      if (length != part.headers.end() && ParseLength(length->second, declared) &&
          declared <= body.size() - std::min(contentStart, body.size()) &&
          body.compare(contentStart + declared, delimiter.size(), delimiter) == 0)
      {
        next = contentStart + declared;
      }
      else
      {
        // No usable length, or one that does not land on a delimiter: the next delimiter ends the part.
        next = (contentStart <= body.size() ? findDelimiter(contentStart) : std::string_view::npos);
      }
      if (next == std::string_view::npos)
      {
        error = "The multipart body has no closing boundary";
        return false;
      }
      part.body = body.substr(contentStart, next - contentStart);
      parts.push_back(std::move(part));
      position = next + delimiter.size();
    }
  }
}
