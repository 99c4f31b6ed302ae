#include "Multipart.h"

#include <Toolbox.h>

#include <algorithm>
#include <functional>

namespace KestrumHost
{
  using Kestrum::Toolbox::ToLowerAscii;
  using Kestrum::Toolbox::TrimSpaces;

  namespace
  {
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
          headers[ToLowerAscii(TrimSpaces(line.substr(0, colon)))] = TrimSpaces(line.substr(colon + 1));
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

    /** Finds the delimiters of one multipart body and cuts the parts between them. */
    class MultipartReader
    {
    private:
      std::string_view body_;
      const std::string delimiter_;
      const std::boyer_moore_horspool_searcher<std::string::const_iterator> searcher_;

      /** Where the content that starts at "contentStart" ends: its length when that lands on a delimiter. */
      size_t ContentEnd(size_t contentStart, const std::map<std::string, std::string>& headers) const
      {
        auto length = headers.find("content-length");
        size_t declared;
        if (length != headers.end() && ParseLength(length->second, declared) &&
            declared <= body_.size() - std::min(contentStart, body_.size()) &&
            body_.compare(contentStart + declared, delimiter_.size(), delimiter_) == 0)
        {
          return contentStart + declared;
        }
        // No usable length, or one that does not land on a delimiter: the next delimiter ends the part.
        return (contentStart <= body_.size() ? FindDelimiter(contentStart) : std::string_view::npos);
      }

    public:
      MultipartReader(std::string_view body, const std::string& boundary) :
        body_(body),
        delimiter_("\r\n--" + boundary),
        searcher_(delimiter_.begin(), delimiter_.end())
      {
      }

      MultipartReader(const MultipartReader&) = delete;   // the searcher points into the delimiter
      MultipartReader& operator=(const MultipartReader&) = delete;

      size_t DelimiterSize() const
      {
        return delimiter_.size();
      }

      /** True when a delimiter starts before "to": only that stretch is searched, not the part's body. */
      bool DelimiterWithin(size_t from, size_t to) const
      {
        const size_t end = std::min(body_.size(), to + delimiter_.size());
        auto found = std::search(body_.begin() + from, body_.begin() + end, searcher_);
        return found != body_.begin() + end && static_cast<size_t>(found - body_.begin()) < to;
      }

      size_t FindDelimiter(size_t from) const
      {
        auto found = std::search(body_.begin() + from, body_.end(), searcher_);
        return found == body_.end() ? std::string_view::npos : static_cast<size_t>(found - body_.begin());
      }

      /** Just past the first delimiter, which may open the body without its leading line break. */
      size_t FirstPartStart() const
      {
        if (body_.compare(0, delimiter_.size() - 2, std::string_view(delimiter_).substr(2)) == 0)
        {
          return delimiter_.size() - 2;
        }
        size_t first = FindDelimiter(0);
        return first == std::string_view::npos ? first : first + delimiter_.size();
      }

      /**
       * Reads the part that starts at "position" (its headers) and returns where
       * the delimiter after it starts, or npos when none follows. A part whose
       * headers are malformed, or never end within the part, comes back invalid.
       */
      size_t ReadPart(size_t position, MultipartPart& part) const
      {
        size_t contentStart;
        size_t headersEnd = body_.find("\r\n\r\n", position);
        if (body_.compare(position, 2, "\r\n") == 0)
        {
          contentStart = position + 2;  // a part without any header
        }
        else if (headersEnd == std::string_view::npos || DelimiterWithin(position, headersEnd))
        {
          size_t end = FindDelimiter(position);
          if (end != std::string_view::npos)
          {
            part.valid = false;
            part.error = "A multipart part has no end of headers";
            part.body = body_.substr(position, end - position);
          }
          return end;
        }
        else
        {
          contentStart = headersEnd + 4;
          if (!ParseHeaders(body_.substr(position, headersEnd - position), part.headers))
          {
            part.valid = false;
            part.error = "Malformed part headers";
          }
        }

        size_t end = ContentEnd(contentStart, part.headers);
        if (end != std::string_view::npos)
        {
          part.body = body_.substr(contentStart, end - contentStart);
        }
        return end;
      }
    };
  }

  ContentType ParseContentType(const std::string& header)
  {
    ContentType result;
    size_t position = header.find(';');
    result.mediaType = ToLowerAscii(TrimSpaces(std::string_view(header).substr(0, position)));

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
      std::string name = ToLowerAscii(TrimSpaces(std::string_view(header).substr(position, equal - position)));
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
        value = TrimSpaces(std::string_view(header).substr(valueStart, semicolon == std::string::npos ?
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

    const MultipartReader reader(body, boundary);
    size_t position = reader.FirstPartStart();
    if (position == std::string_view::npos)
    {
      error = "The body does not contain the multipart boundary";
      return false;
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

      MultipartPart part;
      size_t end = reader.ReadPart(position + 2, part);
      if (end == std::string_view::npos)
      {
        error = "The multipart body has no closing boundary";
        return false;
      }
      parts.push_back(std::move(part));
      position = end + reader.DelimiterSize();
    }
  }
}
