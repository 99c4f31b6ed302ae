#pragma once

#include "RestTypes.h"

#include <json/value.h>

#include <string>
#include <vector>

namespace KestrumHost
{
  /** The levels of the DICOM hierarchy, from the top; QIDO-RS searches the last three. */
  enum class QueryLevel
  {
    Patient,
    Study,
    Series,
    Instance
  };

  /** How a matching key compares its value with the stored one. */
  enum class MatchKind
  {
    None,       // returned, never a matching key
    Wildcard,   // "*" and "?"; case-insensitive for person names
    UidList,    // one UID or several, separated by "," or "\"
    DateRange,  // YYYYMMDD, YYYYMMDD-, -YYYYMMDD or YYYYMMDD-YYYYMMDD
    AnyOfList   // one of the stored values matches one of the listed ones (wildcards allowed)
  };

  /** An attribute the host indexes (or counts), and where its value is kept in the stored tags. */
  struct QueryAttribute
  {
    const char* keyword;
    const char* tag;         // 8 upper-case hex digits, as DICOM JSON names it
    const char* vr;
    QueryLevel level;        // the level it describes
    const char* group;       // "Patient", "Study", "Series", "Instance" in the stored tags; "" when computed
    MatchKind match;         // MatchKind::None: not a matching key
  };

  /** Every attribute that QIDO-RS answers with, or matches on. */
  const std::vector<QueryAttribute>& QueryAttributes();

  /** One matching key of a search, as given in the query. */
  struct QueryMatcher
  {
    const QueryAttribute* attribute;
    std::string value;
  };

  /**
   * A parsed QIDO-RS query. Any argument that is not "limit", "offset",
   * "includefield", "fuzzymatching=false" or a matching key of the level is
   * refused, never ignored: a filter left out would give a wrong answer.
   */
  struct DicomWebQuery
  {
    QueryLevel level = QueryLevel::Study;
    std::vector<QueryMatcher> matchers;
    std::vector<const QueryAttribute*> included;   // asked for on top of the level's defaults
    bool includeAll = false;
    unsigned int limit = 0;    // 0: no limit
    unsigned int offset = 0;

    /** False, with a reason for the client, when an argument is refused. */
    bool Parse(QueryLevel queryLevel, const std::vector<std::pair<std::string, std::string>>& arguments,
               std::string& error);

    /**
     * True when the stored value(s) of every matching key match. `values` gives,
     * for an attribute, its stored values (one, or several for ModalitiesInStudy).
     */
    template <typename ValuesOf>
    bool Matches(const ValuesOf& values) const
    {
      for (const QueryMatcher& matcher : matchers)
      {
        if (!MatchesOne(matcher, values(*matcher.attribute)))
        {
          return false;
        }
      }
      return true;
    }

    /** True when the attribute is part of the answer at this query's level. */
    bool Returns(const QueryAttribute& attribute) const;

    static bool MatchesOne(const QueryMatcher& matcher, const std::vector<std::string>& stored);
  };

  /** "*" matches any run of characters, "?" any one; the rest must be equal. */
  bool WildcardMatch(const std::string& pattern, const std::string& text, bool ignoreCase);

  /** The DICOM JSON form of one attribute's values (numbers for IS, a person name object for PN). */
  Json::Value FormatAttribute(const QueryAttribute& attribute, const std::vector<std::string>& values);
}
