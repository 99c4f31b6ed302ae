#include "DicomWebQuery.h"

#include <gtest/gtest.h>

using namespace KestrumHost;

namespace
{
  using Arguments = std::vector<std::pair<std::string, std::string>>;

  const QueryAttribute& Named(const std::string& keyword)
  {
    for (const QueryAttribute& attribute : QueryAttributes())
    {
      if (keyword == attribute.keyword)
      {
        return attribute;
      }
    }
    throw std::runtime_error("no attribute " + keyword);
  }

  bool Match(const std::string& keyword, const std::string& wanted, const std::vector<std::string>& stored)
  {
    return DicomWebQuery::MatchesOne(QueryMatcher{&Named(keyword), wanted}, stored);
  }
}

TEST(DicomWebQueryTest, WildcardsBacktrackAndPersonNamesIgnoreCase)
{
  EXPECT_TRUE(WildcardMatch("a*b*c", "axxbyybzc", false));
  EXPECT_FALSE(WildcardMatch("a*b*c", "axxbyybz", false));
  EXPECT_TRUE(WildcardMatch("?b?", "abc", false));
  EXPECT_FALSE(WildcardMatch("?b?", "abcd", false));
  EXPECT_TRUE(WildcardMatch("**", "", false));
  EXPECT_FALSE(WildcardMatch("", "x", false));

  EXPECT_TRUE(Match("PatientName", "doe^j*", {"DOE^JOHN"}));
  EXPECT_FALSE(Match("PatientID", "abc*", {"ABC1"}));     // other strings keep their case
  EXPECT_FALSE(Match("PatientID", "abc", {""}));          // nothing stored matches no value but the universal one
  EXPECT_TRUE(Match("PatientID", "", {""}));
}

TEST(DicomWebQueryTest, DatesUidListsAndModalitiesInStudy)
{
  EXPECT_TRUE(Match("StudyDate", "20040101-", {"20040101"}));
  EXPECT_FALSE(Match("StudyDate", "-20031231", {"20040101"}));
  EXPECT_TRUE(Match("StudyDate", "20040101-20041231", {"20041231"}));
  EXPECT_FALSE(Match("StudyDate", "20040101", {""}));

  EXPECT_TRUE(Match("StudyInstanceUID", "1.2\\1.3,1.4", {"1.3"}));
  EXPECT_FALSE(Match("StudyInstanceUID", "1.2", {"1.2.3"}));   // UIDs are never wildcards or prefixes

  EXPECT_TRUE(Match("ModalitiesInStudy", "MR,C?", {"SR", "CT"}));
  EXPECT_FALSE(Match("ModalitiesInStudy", "MR", {"SR", "CT"}));
}

TEST(DicomWebQueryTest, EveryArgumentIsUnderstoodOrRefused)
{
  DicomWebQuery query;
  std::string error;
  EXPECT_TRUE(query.Parse(QueryLevel::Series, {{"00100020", "x"}, {"Modality", "CT"}, {"limit", "5"},
                                              {"includefield", "StudyDate,00200011"}, {"fuzzymatching", "false"}},
                          error)) << error;
  EXPECT_EQ(2u, query.matchers.size());
  EXPECT_EQ(5u, query.limit);
  EXPECT_TRUE(query.Returns(Named("StudyDate")));
  EXPECT_TRUE(query.Returns(Named("PatientID")));          // matching keys come back
  EXPECT_FALSE(query.Returns(Named("PatientName")));
  EXPECT_FALSE(query.Returns(Named("SOPInstanceUID")));    // below the level

  for (const Arguments& refused : {Arguments{{"SOPInstanceUID", "1.2"}},            // below the level
                                   Arguments{{"ModalitiesInStudy", "CT"}},          // only counted for studies
                                   Arguments{{"StudyDate", "2004-01-01"}},
                                   Arguments{{"StudyDate", "-"}},
                                   Arguments{{"offset", "4294967296"}},
                                   Arguments{{"includefield", "NumberOfStudyRelatedSeries"}},
                                   Arguments{{"patientid", "x"}}})                  // keywords are case-sensitive
  {
    EXPECT_FALSE(query.Parse(QueryLevel::Series, refused, error)) << refused[0].first << "=" << refused[0].second;
    EXPECT_FALSE(error.empty());
  }
}
