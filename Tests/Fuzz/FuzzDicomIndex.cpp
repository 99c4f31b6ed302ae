// kestrum-host's reading of the tags it indexes: the quick walk over explicit
// VR little endian files must agree with DCMTK reading every element, on
// whether the bytes are DICOM and on every value kept.

#include "FuzzSupport.h"

#include <DicomParser.h>

namespace
{
  const char* const TARGET = "FuzzDicomIndex";
}

int QuelbyCloud::Fuzzing::FuzzOne(const uint8_t* data, size_t size)
{
  KestrumHost::ParsedDicom quick;
  KestrumHost::ParsedDicom thorough;
  std::string quickReason;
  std::string thoroughReason;
  const bool quickRead = KestrumHost::ParseDicom(data, size, quick, quickReason, true);
  const bool thoroughRead = KestrumHost::ParseDicom(data, size, thorough, thoroughReason, false);

  FUZZ_CHECK(TARGET, quickRead == thoroughRead,
             std::string("the quick walk says ") + (quickRead ? "DICOM" : "not DICOM (" + quickReason + ")") +
             ", DCMTK " + (thoroughRead ? "DICOM" : "not DICOM (" + thoroughReason + ")"));
  FUZZ_CHECK(TARGET, quickRead || !quickReason.empty(), "a refused file without a reason");
  if (quickRead)
  {
    FUZZ_CHECK(TARGET, quick.ids.patientId == thorough.ids.patientId &&
               quick.ids.studyInstanceUid == thorough.ids.studyInstanceUid &&
               quick.ids.seriesInstanceUid == thorough.ids.seriesInstanceUid &&
               quick.ids.sopInstanceUid == thorough.ids.sopInstanceUid &&
               quick.sopClassUid == thorough.sopClassUid, "the identifiers differ");
    FUZZ_CHECK(TARGET, quick.patientTags == thorough.patientTags && quick.studyTags == thorough.studyTags &&
               quick.seriesTags == thorough.seriesTags && quick.instanceTags == thorough.instanceTags,
               "the indexed tags differ");
  }
  return 0;
}
