#include "DicomWebClient.h"

#include <Logging.h>

namespace QuelbyCloud
{
  namespace
  {
    const char* const REFERENCED_SOP_SEQUENCE = "00081199";
    const char* const REFERENCED_SOP_INSTANCE_UID = "00081155";

    bool HasArrayValue(const Json::Value& item, const char* tag)
    {
      return (item.isObject() &&
              item.isMember(tag) &&
              item[tag].isObject() &&
              item[tag].isMember("Value") &&
              item[tag]["Value"].isArray());
    }
  }


  DicomWebClient::DicomWebClient(const HostBridge& host, const std::string& rootUrl, const Headers& headers) :
    RemoteServer(host, rootUrl, headers)
  {
  }


  bool DicomWebClient::TestConnection()
  {
    HostHttpClient request = MakeRequest(KestrumHttpMethod_Get, "/studies?limit=1",
                                         { { "Accept", "application/dicom+json" } });
    const std::optional<Json::Value> answer = TryExecuteJson(request);
    return answer && answer->isArray();
  }


  void DicomWebClient::Add(const std::string& sopInstanceUid, const std::string& dicomFile)
  {
    body_.AddDicomPart("", dicomFile);
    expected_.insert(sopInstanceUid);
  }


  bool DicomWebClient::Deliver()
  {
    // An empty "Expect" keeps the host's HTTP stack from waiting for a "100 Continue".
    HostHttpClient request = MakeRequest(
      KestrumHttpMethod_Post, "/studies",
      { { "Content-Type", "multipart/related; type=\"application/dicom\"; boundary=" + body_.GetBoundary() },
        { "Accept", "application/dicom+json" },
        { "Expect", "" } });
    body_.CloseInto(request);

    const std::optional<Json::Value> answer = TryExecuteJson(request);
    if (!answer)
    {
      return false;
    }

    if (!HasArrayValue(*answer, REFERENCED_SOP_SEQUENCE))
    {
      LOG(ERROR) << "Bad format of the DICOMweb answer";
      return false;
    }

    // An instance counts as received exactly when the referenced sequence lists it.
    std::set<std::string> missing = expected_;
    for (const Json::Value& item : (*answer)[REFERENCED_SOP_SEQUENCE]["Value"])
    {
      if (!HasArrayValue(item, REFERENCED_SOP_INSTANCE_UID))
      {
        return false;
      }

      const Json::Value& uids = item[REFERENCED_SOP_INSTANCE_UID]["Value"];
      if (uids.size() != 1 ||
          !uids[0].isString())
      {
        return false;
      }

      missing.erase(uids[0].asString());
    }

    for (const std::string& uid : missing)
    {
      LOG(ERROR) << "Cannot send to the remote server the SOP Instance UID: " << uid;
    }

    return missing.empty();
  }
}
