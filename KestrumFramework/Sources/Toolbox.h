#pragma once

#include <json/value.h>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace Kestrum
{
  namespace Toolbox
  {
    /** A new random UUID in its 36-character lower-case text form (8-4-4-4-12). */
    std::string GenerateUuid();

    /** The text with its ASCII letters in lower case: names and schemes must not depend on the locale. */
    std::string ToLowerAscii(std::string_view text);

    /** The text without the spaces, tabs, carriage returns and line feeds at both ends. */
    std::string TrimSpaces(std::string_view text);

    /** The text without every "/" at its end. */
    std::string StripTrailingSlashes(const std::string& text);

    /**
     * The one JSON reader of the system: the whole text as one document,
     * comments allowed, nesting limited so that hostile text cannot exhaust
     * the stack. Empty when the text is not JSON.
     */
    std::optional<Json::Value> ReadJson(std::string_view text);

    /** As ReadJson; when the text is not JSON, "errors" says where and why, for a person to mend it. */
    std::optional<Json::Value> ReadJsonWithErrors(std::string_view text, std::string& errors);

    /**
     * A JSON object read from text that the system may write back (stored
     * state, request bodies, configuration): as ReadJson, and empty as well
     * when the text is not UTF-8 or is not an object.
     */
    std::optional<Json::Value> ReadJsonObject(std::string_view text);

    /**
     * True when [begin, end) is well-formed UTF-8 (no overlong forms, no
     * surrogates, nothing above U+10FFFF). jsoncpp's writers re-encode other
     * bytes, so JSON text that is written back must pass this when read.
     */
    bool IsValidUtf8(const char* begin, const char* end);

    /** A TCP port written in decimal (1 to 65535, at most five digits), else empty. */
    std::optional<unsigned int> ParsePort(std::string_view text);

    /** Where a URL points: its scheme in lower case, its host (brackets removed) and its port, if written. */
    struct UrlAuthority
    {
      std::string scheme;
      std::string host;
      std::optional<unsigned int> port;
    };

    /** The authority of "scheme://[user@]host[:port][/...]"; empty when the URL has no such form. */
    std::optional<UrlAuthority> ParseUrlAuthority(std::string_view url);

    /** True for the names of this machine's loopback interface: localhost, 127.0.0.0/8 and ::1. */
    bool IsLoopbackHost(std::string_view host);

    /** The value as compact JSON text (no indentation, no final newline). */
    std::string WriteCompactJson(const Json::Value& value);
  }

  namespace SerializationToolbox
  {
    // Each failure is BadFileFormat with a details text, logged as one error line.

    std::string ReadRequiredString(const Json::Value& value, const std::string& field);

    bool ReadRequiredBoolean(const Json::Value& value, const std::string& field);

    /** Clears the target, then copies every string member of the object member "field". */
    void ReadStringMap(std::map<std::string, std::string>& target,
                       const Json::Value& value,
                       const std::string& field);

    /** Adds the member "field" (absent until now) to the object target. BadFileFormat otherwise. */
    void WriteStringMap(Json::Value& target,
                        const std::map<std::string, std::string>& values,
                        const std::string& field);
  }
}
