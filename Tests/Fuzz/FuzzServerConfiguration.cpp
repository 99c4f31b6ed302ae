// The stored or typed description of a destination, read back from any JSON:
// either refused with "Bad file format", or accepted without losing anything.

#include "FuzzSupport.h"

#include <Destinations/ServerConfiguration.h>
#include <KestrumException.h>

namespace
{
  const char* const TARGET = "FuzzServerConfiguration";
  const char* const MEMBERS[] = { "ModalityName", "Url", "Compress", "HttpHeaders",
                                  "PublicParameters", "ServerType", "ProtocolType" };
}

int QuelbyCloud::Fuzzing::FuzzOne(const uint8_t* data, size_t size)
{
  Json::Value source;
  if (!ParseIndependently(source, data, size))
  {
    return 0;
  }

  ResetHost();

  ServerConfiguration accepted;
  try
  {
    accepted = ServerConfiguration::FromJson(source);
  }
  catch (const Kestrum::KestrumException& e)
  {
    FUZZ_CHECK(TARGET, e.GetErrorCode() == Kestrum::ErrorCode_BadFileFormat,
               std::string("refused with code ") + std::to_string(e.GetErrorCode()));
    return 0;
  }

  // What was accepted writes back member for member as it was read.
  const Json::Value written = accepted.ToJson();
  for (const char* member : MEMBERS)
  {
    FUZZ_CHECK(TARGET, written.isMember(member) && written[member] == source[member],
               std::string("member changed by the round trip: ") + member);
  }
  FUZZ_CHECK(TARGET, written.size() == 7, "the written record has other members than the seven");

  // And reads back as an equal record.
  const ServerConfiguration reread = ServerConfiguration::FromJson(written);
  FUZZ_CHECK(TARGET, reread == accepted, "ToJson then FromJson gives another record");
  return 0;
}
