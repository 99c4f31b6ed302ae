#pragma once

#include <string>

namespace KestrumHost
{
  /** The DICOM identifiers that place an instance in the patient/study/series hierarchy. */
  struct DicomIdentifiers
  {
    std::string patientId;
    std::string studyInstanceUid;
    std::string seriesInstanceUid;
    std::string sopInstanceUid;
  };

  /**
   * Deterministic resource identifiers: SHA-1 of the length-prefixed identifiers,
   * as five groups of 8 hex digits. The same file always gets the same ID, which
   * is what makes a re-upload recognisable.
   */
  std::string DerivePatientId(const DicomIdentifiers& ids);
  std::string DeriveStudyId(const DicomIdentifiers& ids);
  std::string DeriveSeriesId(const DicomIdentifiers& ids);
  std::string DeriveInstanceId(const DicomIdentifiers& ids);

  /** SHA-1 of a text formatted as 8-8-8-8-8 hex groups. */
  std::string HashToResourceId(const std::string& text);

  /** True for a text of the form produced by HashToResourceId (guards file paths). */
  bool IsResourceId(const std::string& text);
}
