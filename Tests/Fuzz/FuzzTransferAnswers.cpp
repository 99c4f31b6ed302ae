// Whatever a remote server answers, the three transfer clients return a
// result and never throw; and they report success only when the answer
// really confirmed every instance, since success stamps or deletes the
// instances in the host.

#include "FuzzSupport.h"

#include "FakeHost.h"

#include <TransferClients/DicomWebClient.h>
#include <TransferClients/KestrumPeerClient.h>
#include <TransferClients/VexaNativeClient.h>

#include <exception>
#include <functional>
#include <set>

namespace
{
  const char* const TARGET = "FuzzTransferAnswers";
  const char* const ROOT = "http://destination.test";
  const char* const UID_1 = "1.2.826.0.1.3680043.10.1";
  const char* const UID_2 = "1.2.826.0.1.3680043.10.2";

  using QuelbyCloud::Testing::FakeHost;

  /** Runs one client operation; anything thrown is a fault. */
  bool Run(const char* what, const std::function<bool()>& operation)
  {
    try
    {
      return operation();
    }
    catch (const std::exception& e)
    {
      QuelbyCloud::Fuzzing::Fail(TARGET, std::string(what) + " threw: " + e.what());
    }
    catch (...)
    {
      QuelbyCloud::Fuzzing::Fail(TARGET, std::string(what) + " threw");
    }
  }

  /** The UIDs that a STOW-RS answer lists in its referenced SOP sequence. */
  std::set<std::string> ReferencedUids(const Json::Value& answer)
  {
    std::set<std::string> uids;
    if (answer.isObject() && answer["00081199"].isObject() && answer["00081199"]["Value"].isArray())
    {
      for (const Json::Value& item : answer["00081199"]["Value"])
      {
        if (item.isObject() && item["00081155"].isObject() && item["00081155"]["Value"].isArray() &&
            item["00081155"]["Value"].size() == 1 && item["00081155"]["Value"][0].isString())
        {
          uids.insert(item["00081155"]["Value"][0].asString());
        }
      }
    }
    return uids;
  }

  bool IsEmptyArrayMember(const Json::Value& object, const char* name)
  {
    return object.isObject() && object[name].isArray() && object[name].empty();
  }
}

int QuelbyCloud::Fuzzing::FuzzOne(const uint8_t* data, size_t size)
{
  FakeHost& host = ResetHost();
  const std::string body(reinterpret_cast<const char*>(data), size);
  host.OnHttpPrefix(ROOT).Answer(200, body);

  Json::Value document;
  const bool parsed = ParseIndependently(document, data, size);
  const Json::Value& answer = document;   // const: looking a member up must not add it

  {
    DicomWebClient client(Bridge(), std::string(ROOT) + "/dicom-web", {});
    client.AddInstance(UID_1, "first file");
    client.AddInstance(UID_2, "second file");
    if (Run("DicomWebClient::Send", [&] { return client.Send(); }))
    {
      const std::set<std::string> confirmed = ReferencedUids(answer);
      FUZZ_CHECK(TARGET, parsed && confirmed.count(UID_1) == 1 && confirmed.count(UID_2) == 1,
                 "STOW-RS batch reported sent without both UIDs in the answer");
    }
    if (Run("DicomWebClient::TestConnection", [&] { return client.TestConnection(); }))
    {
      FUZZ_CHECK(TARGET, parsed && answer.isArray(), "DICOMweb connection accepted without an array");
    }
  }

  {
    VexaNativeClient client(Bridge(), ROOT, {});
    client.AddInstance(UID_1, "first file");
    if (Run("VexaNativeClient::Send", [&] { return client.Send(); }))
    {
      FUZZ_CHECK(TARGET, parsed && answer.isObject() && answer["content"].isObject() &&
                 answer["content"]["studies"].isArray() &&
                 IsEmptyArrayMember(answer["content"], "badFormatFiles") &&
                 IsEmptyArrayMember(answer["content"], "unexpectedErrorFiles"),
                 "portal batch reported sent without an answer free of refused files");
    }
    if (Run("VexaNativeClient::TestConnection", [&] { return client.TestConnection(); }))
    {
      FUZZ_CHECK(TARGET, parsed && answer.isObject() && answer.isMember("content"),
                 "portal connection accepted without \"content\"");
    }
  }

  for (bool compress : { false, true })
  {
    KestrumPeerClient client(Bridge(), ROOT, {}, compress);
    Run("KestrumPeerClient::AddInstance", [&] { client.AddInstance(UID_1, "first file"); return true; });
    if (Run("KestrumPeerClient::Send", [&] { return client.Send(); }))
    {
      // The same body answers the upload and the read-back.
      FUZZ_CHECK(TARGET, parsed && answer.isObject() && answer["ID"].isString() &&
                 answer["MainDicomTags"].isObject() && answer["MainDicomTags"]["SOPInstanceUID"].isString() &&
                 answer["MainDicomTags"]["SOPInstanceUID"].asString() == UID_1,
                 "peer upload reported sent without the read-back confirming the UID");
    }
    if (Run("KestrumPeerClient::TestConnection", [&] { return client.TestConnection(); }))
    {
      FUZZ_CHECK(TARGET, parsed && answer.isObject() && answer.isMember("Version"),
                 "peer connection accepted without \"Version\"");
    }
  }

  CheckHostMemory(TARGET);
  return 0;
}
