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

  namespace
  {
    // Each identifier is prefixed with its length: a Patient ID may contain "|", and
    // ("a|b", "c") must not give the same text as ("a", "b|c").
    void AppendField(std::string& key, const std::string& field)
    {
      key += std::to_string(field.size());
      key += ':';
      key += field;
      key += '|';
    }

    // The ID of a resource hashes the identifiers from the patient down to its own level.
    std::string DeriveId(const DicomIdentifiers& ids, size_t levels)
    {
      const std::string* fields[] = { &ids.patientId, &ids.studyInstanceUid,
                                      &ids.seriesInstanceUid, &ids.sopInstanceUid };
      std::string key;
      for (size_t i = 0; i < levels; i++)
      {
        AppendField(key, *fields[i]);
      }
      return HashToResourceId(key);
    }
  }

  std::string DerivePatientId(const DicomIdentifiers& ids)
  {
    return DeriveId(ids, 1);
  }

  std::string DeriveStudyId(const DicomIdentifiers& ids)
  {
    return DeriveId(ids, 2);
  }

  std::string DeriveSeriesId(const DicomIdentifiers& ids)
  {
    return DeriveId(ids, 3);
  }

  std::string DeriveInstanceId(const DicomIdentifiers& ids)
  {
    return DeriveId(ids, 4);
  }
}
