#include "DicomWebQuery.h"

#include "RestApi.h"

#include <Toolbox.h>

#include <algorithm>
#include <cctype>

namespace KestrumHost
{
  using Kestrum::Toolbox::ToLowerAscii;

  namespace
  {
    // Values of "limit" and "offset" beyond this are refused as out of range.
    const uint64_t LargestPaging = 0xFFFFFFFFu;

    const char* const ModalitiesInStudy = "ModalitiesInStudy";

    bool IsDigits(const std::string& text, size_t count)
    {
      return text.size() == count &&
             std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    }

    /** Splits a list on "," and "\" (both are used by clients for several values). */
    std::vector<std::string> SplitList(const std::string& text)
    {
      std::vector<std::string> items;
      std::string current;
      for (char c : text)
      {
        if (c == ',' || c == '\\')
        {
          items.push_back(current);
          current.clear();
        }
        else
        {
          current += c;
        }
      }
      items.push_back(current);
      return items;
    }

    /** True for a date or a range of dates, its bounds given back (empty when open). */
    bool ParseDateRange(const std::string& text, std::string& from, std::string& to)
    {
      size_t dash = text.find('-');
      if (dash == std::string::npos)
      {
        from = to = text;
        return IsDigits(text, 8);
      }
      from = text.substr(0, dash);
      to = text.substr(dash + 1);
      return (from.empty() || IsDigits(from, 8)) && (to.empty() || IsDigits(to, 8)) &&
             !(from.empty() && to.empty());
    }

    const QueryAttribute* FindAttribute(const std::string& name)
    {
      std::string upper = name;
      std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return std::toupper(c); });
      for (const QueryAttribute& attribute : QueryAttributes())
      {
        if (name == attribute.keyword || upper == attribute.tag)
        {
          return &attribute;
        }
      }
      return nullptr;
    }

    /** The values computed from a study's series (ModalitiesInStudy) are known at the study level only. */
    bool IsComputed(const QueryAttribute& attribute)
    {
      return attribute.group[0] == '\0';
    }

    bool IsAvailable(const QueryAttribute& attribute, QueryLevel level)
    {
      return IsComputed(attribute) ? attribute.level == level : attribute.level <= level;
    }

    std::string MatchingKeysOf(QueryLevel level)
    {
      std::string names;
      for (const QueryAttribute& attribute : QueryAttributes())
      {
        if (attribute.match != MatchKind::None && IsAvailable(attribute, level))
        {
          names += (names.empty() ? "" : ", ") + std::string(attribute.keyword);
        }
      }
      return names;
    }

    bool CheckMatchValue(const QueryAttribute& attribute, const std::string& value, std::string& error)
    {
      std::string from, to;
      if (attribute.match == MatchKind::DateRange && !value.empty() && !ParseDateRange(value, from, to))
      {
        error = std::string(attribute.keyword) + " must be a date YYYYMMDD or a range of them: " + value;
        return false;
      }
      return true;
    }
  }

  const std::vector<QueryAttribute>& QueryAttributes()
  {
    static const std::vector<QueryAttribute> attributes = {
      {"PatientName", "00100010", "PN", QueryLevel::Patient, "Patient", MatchKind::Wildcard},
      {"PatientID", "00100020", "LO", QueryLevel::Patient, "Patient", MatchKind::Wildcard},
      {"PatientBirthDate", "00100030", "DA", QueryLevel::Patient, "Patient", MatchKind::None},
      {"PatientSex", "00100040", "CS", QueryLevel::Patient, "Patient", MatchKind::None},
      {"StudyDate", "00080020", "DA", QueryLevel::Study, "Study", MatchKind::DateRange},
      {"StudyTime", "00080030", "TM", QueryLevel::Study, "Study", MatchKind::None},
      {"AccessionNumber", "00080050", "SH", QueryLevel::Study, "Study", MatchKind::Wildcard},
      {ModalitiesInStudy, "00080061", "CS", QueryLevel::Study, "", MatchKind::AnyOfList},
      {"StudyDescription", "00081030", "LO", QueryLevel::Study, "Study", MatchKind::None},
      {"StudyInstanceUID", "0020000D", "UI", QueryLevel::Study, "Study", MatchKind::UidList},
      {"StudyID", "00200010", "SH", QueryLevel::Study, "Study", MatchKind::None},
      {"NumberOfStudyRelatedSeries", "00201206", "IS", QueryLevel::Study, "", MatchKind::None},
      {"NumberOfStudyRelatedInstances", "00201208", "IS", QueryLevel::Study, "", MatchKind::None},
      {"Modality", "00080060", "CS", QueryLevel::Series, "Series", MatchKind::Wildcard},
      {"SeriesDescription", "0008103E", "LO", QueryLevel::Series, "Series", MatchKind::None},
      {"SeriesInstanceUID", "0020000E", "UI", QueryLevel::Series, "Series", MatchKind::UidList},
      {"SeriesNumber", "00200011", "IS", QueryLevel::Series, "Series", MatchKind::None},
      {"NumberOfSeriesRelatedInstances", "00201209", "IS", QueryLevel::Series, "", MatchKind::None},
      {"SOPClassUID", "00080016", "UI", QueryLevel::Instance, "Instance", MatchKind::UidList},
      {"SOPInstanceUID", "00080018", "UI", QueryLevel::Instance, "Instance", MatchKind::UidList},
      {"InstanceNumber", "00200013", "IS", QueryLevel::Instance, "Instance", MatchKind::None},
    };
    return attributes;
  }

  bool WildcardMatch(const std::string& pattern, const std::string& text, bool ignoreCase)
  {
    auto same = [ignoreCase](char a, char b)
    {
      return ignoreCase ? std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b))
                        : a == b;
    };
    // Greedy with one back-tracking point: the last "*" seen.
    size_t p = 0, t = 0, star = std::string::npos, resume = 0;
    while (t < text.size())
    {
      if (p < pattern.size() && (pattern[p] == '?' || (pattern[p] != '*' && same(pattern[p], text[t]))))
      {
        p++;
        t++;
      }
      else if (p < pattern.size() && pattern[p] == '*')
      {
        star = p++;
        resume = t;
      }
      else if (star != std::string::npos)
      {
        p = star + 1;
        t = ++resume;
      }
      else
      {
        return false;
      }
    }
    while (p < pattern.size() && pattern[p] == '*')
    {
      p++;
    }
    return p == pattern.size();
  }

  bool DicomWebQuery::Parse(QueryLevel queryLevel, const std::vector<std::pair<std::string, std::string>>& arguments,
                            std::string& error)
  {
    *this = DicomWebQuery();
    level = queryLevel;
    for (const auto& argument : arguments)
    {
      const std::string& name = argument.first;
      const std::string& value = argument.second;
      if (name == "limit" || name == "offset")
      {
        uint64_t number;
        if (!ParseUnsigned(value, number) || number > LargestPaging)
        {
          error = "\"limit\" and \"offset\" must be unsigned integers";
          return false;
        }
        (name == "limit" ? limit : offset) = static_cast<unsigned int>(number);
      }
      else if (name == "includefield")
      {
        for (const std::string& field : SplitList(value))
        {
          const QueryAttribute* attribute = FindAttribute(field);
          if (field == "all")
          {
            includeAll = true;
          }
          else if (attribute != nullptr && IsAvailable(*attribute, level))
          {
            included.push_back(attribute);
          }
          else
          {
            error = "includefield names an attribute this level does not have: " + field;
            return false;
          }
        }
      }
      else if (name == "fuzzymatching")
      {
        if (value != "false")
        {
          error = "Fuzzy matching is not supported (fuzzymatching=false only)";
          return false;
        }
      }
      else
      {
        const QueryAttribute* attribute = FindAttribute(name);
        if (attribute == nullptr || attribute->match == MatchKind::None || !IsAvailable(*attribute, level))
        {
          error = "Unsupported query parameter \"" + name + "\"; the matching keys here are: " + MatchingKeysOf(level);
          return false;
        }
        if (std::any_of(matchers.begin(), matchers.end(),
                        [attribute](const QueryMatcher& m) { return m.attribute == attribute; }))
        {
          error = "The matching key " + std::string(attribute->keyword) + " is given twice";
          return false;
        }
        if (!CheckMatchValue(*attribute, value, error))
        {
          return false;
        }
        matchers.push_back({attribute, value});
      }
    }
    return true;
  }

  bool DicomWebQuery::Returns(const QueryAttribute& attribute) const
  {
    if (!IsAvailable(attribute, level))
    {
      return false;
    }
    if (includeAll ||
        std::find(included.begin(), included.end(), &attribute) != included.end() ||
        std::any_of(matchers.begin(), matchers.end(), [&attribute](const QueryMatcher& m) { return m.attribute == &attribute; }))
    {
      return true;
    }
    const std::string keyword = attribute.keyword;
    switch (level)
    {
      case QueryLevel::Study:
        return attribute.level <= QueryLevel::Study;
      case QueryLevel::Series:
        return attribute.level == QueryLevel::Series || keyword == "StudyInstanceUID";
      default:
        return attribute.level == QueryLevel::Instance || keyword == "StudyInstanceUID" ||
               keyword == "SeriesInstanceUID";
    }
  }

  bool DicomWebQuery::MatchesOne(const QueryMatcher& matcher, const std::vector<std::string>& stored)
  {
    const std::string& value = matcher.value;
    if (value.empty() || value == "*")
    {
      return true;   // universal matching: the attribute is asked for, not filtered on
    }
    const std::string one = stored.empty() ? std::string() : stored.front();
    switch (matcher.attribute->match)
    {
      case MatchKind::Wildcard:
        return WildcardMatch(value, one, std::string(matcher.attribute->vr) == "PN");
      case MatchKind::UidList:
      {
        const std::vector<std::string> uids = SplitList(value);
        return std::find(uids.begin(), uids.end(), one) != uids.end();
      }
      case MatchKind::DateRange:
      {
        std::string from, to;
        ParseDateRange(value, from, to);
        return IsDigits(one, 8) && (from.empty() || one >= from) && (to.empty() || one <= to);
      }
      case MatchKind::AnyOfList:
        for (const std::string& wanted : SplitList(value))
        {
          for (const std::string& have : stored)
          {
            if (WildcardMatch(wanted, have, false))
            {
              return true;
            }
          }
        }
        return false;
      default:
        return false;
    }
  }

  Json::Value FormatAttribute(const QueryAttribute& attribute, const std::vector<std::string>& values)
  {
    Json::Value result(Json::objectValue);
    const std::string vr = attribute.vr;
    result["vr"] = vr;
    Json::Value list(Json::arrayValue);
    for (const std::string& value : values)
    {
      if (value.empty())
      {
        continue;
      }
      if (vr == "PN")
      {
        Json::Value name(Json::objectValue);
        name["Alphabetic"] = value;
        list.append(name);
      }
      else if (vr == "IS")
      {
        uint64_t number;
        const bool negative = value[0] == '-';
        if (ParseUnsigned(negative ? value.substr(1) : value, number) && number <= static_cast<uint64_t>(INT64_MAX))
        {
          list.append(Json::Int64(negative ? -static_cast<int64_t>(number) : static_cast<int64_t>(number)));
        }
      }
      else
      {
        list.append(value);
      }
    }
    if (!list.empty())
    {
      result["Value"] = list;
    }
    return result;
  }
}
