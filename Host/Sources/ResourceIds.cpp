#include "ResourceIds.h"

#include <openssl/sha.h>

namespace KestrumHost
{
  std::string HashToResourceId(const std::string& text)
  {
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);

    static const char hex[] = "0123456789abcdef";
    std::string id;
    id.reserve(44);
    for (int i = 0; i < SHA_DIGEST_LENGTH; i++)
    {
      if (i > 0 && i % 4 == 0)
      {
        id += '-';
      }
      id += hex[digest[i] >> 4];
      id += hex[digest[i] & 0x0f];
    }
    return id;
  }

  bool IsResourceId(const std::string& text)
  {
    if (text.size() != 44)
    {
      return false;
    }
    for (size_t i = 0; i < text.size(); i++)
    {
      char c = text[i];
      bool dash = (i % 9 == 8);
      if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
      {
        return false;
      }
    }
    return true;
  }

  std::string DerivePatientId(const DicomIdentifiers& ids)
  {
    return HashToResourceId(ids.patientId);
  }

  std::string DeriveStudyId(const DicomIdentifiers& ids)
  {
    return HashToResourceId(ids.patientId + "|" + ids.studyInstanceUid);
  }

  std::string DeriveSeriesId(const DicomIdentifiers& ids)
  {
    return HashToResourceId(ids.patientId + "|" + ids.studyInstanceUid + "|" + ids.seriesInstanceUid);
  }

  std::string DeriveInstanceId(const DicomIdentifiers& ids)
  {
    return HashToResourceId(ids.patientId + "|" + ids.studyInstanceUid + "|" +
                            ids.seriesInstanceUid + "|" + ids.sopInstanceUid);
  }
}
