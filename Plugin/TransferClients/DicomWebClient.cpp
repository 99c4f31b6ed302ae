#include "DicomWebClient.h"

#include <Logging.h>

namespace QuelbyCloud
{
  namespace
  {
    const char* const REFERENCED_SOP_SEQUENCE = "00081199";
    const char* const REFERENCED_SOP_INSTANCE_UID = "00081155";
    const char* const FAILED_SOP_SEQUENCE = "00081198";
    const char* const FAILURE_REASON = "00081197";

    bool HasArrayValue(const Json::Value& item, const char* tag)
    {
      return (item.isObject() &&
              item.isMember(tag) &&
              item[tag].isObject() &&
              item[tag].isMember("Value") &&
              item[tag]["Value"].isArray());
    }

    // The answer comes from outside: every level is checked before it is read.
    unsigned int ReadFailureReason(const Json::Value& item)
    {
      if (HasArrayValue(item, FAILURE_REASON) &&
          item[FAILURE_REASON]["Value"].size() == 1 &&
          item[FAILURE_REASON]["Value"][0].isUInt())
      {
        return item[FAILURE_REASON]["Value"][0].asUInt();
      }
      return 0;
    }

    // The reasons of a failed SOP sequence that a person may act on, in words.
    std::string DescribeFailureReason(unsigned int reason)
    {
      switch (reason)
      {
        case 0x0110: return "refused by the destination: processing failure";
        case 0x0122: return "refused by the destination: SOP class not supported";
        case 0xA700: return "refused by the destination: out of resources";
        case 0xA900: return "refused by the destination: data set does not match SOP class";
        case 0xC000: return "refused by the destination: cannot understand";
        case 0xC122: return "refused by the destination: transfer syntax not supported";
        default: return "refused by the destination (failure reason " + std::to_string(reason) + ")";
      }
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


  void DicomWebClient::Add(const std::string& sopInstanceUid, SharedFile dicomFile)
  {
    body_.AddDicomPart("", dicomFile.bytes);
    expected_.insert(sopInstanceUid);
  }


  void DicomWebClient::ReadFailedInstances(const Json::Value& answer)
  {
    if (!HasArrayValue(answer, FAILED_SOP_SEQUENCE))
    {
      return;
    }

    for (const Json::Value& item : answer[FAILED_SOP_SEQUENCE]["Value"])
    {
      if (HasArrayValue(item, REFERENCED_SOP_INSTANCE_UID) &&
          item[REFERENCED_SOP_INSTANCE_UID]["Value"].size() == 1 &&
          item[REFERENCED_SOP_INSTANCE_UID]["Value"][0].isString())
      {
        const std::string uid = item[REFERENCED_SOP_INSTANCE_UID]["Value"][0].asString();
        if (expected_.count(uid) != 0)
        {
          report_.refused[uid] = DescribeFailureReason(ReadFailureReason(item));
        }
      }
    }
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
      FailAll(expected_);
      return false;
    }

    if (!HasArrayValue(*answer, REFERENCED_SOP_SEQUENCE))
    {
      LOG(ERROR) << "Bad format of the DICOMweb answer";
      FailAll(expected_, "unexpected answer from the destination");
      return false;
    }

    // An instance counts as received exactly when the referenced sequence lists it.
    std::set<std::string> confirmed;
    for (const Json::Value& item : (*answer)[REFERENCED_SOP_SEQUENCE]["Value"])
    {
      if (!HasArrayValue(item, REFERENCED_SOP_INSTANCE_UID))
      {
        FailAll(expected_, "unexpected answer from the destination");
        return false;
      }

      const Json::Value& uids = item[REFERENCED_SOP_INSTANCE_UID]["Value"];
      if (uids.size() != 1 ||
          !uids[0].isString())
      {
        FailAll(expected_, "unexpected answer from the destination");
        return false;
      }

      if (expected_.count(uids[0].asString()) != 0)
      {
        confirmed.insert(uids[0].asString());
      }
    }

    report_.confirmed = confirmed;
    ReadFailedInstances(*answer);

    bool complete = true;
    for (const std::string& uid : expected_)
    {
      if (confirmed.count(uid) == 0)
      {
        LOG(ERROR) << "Cannot send to the remote server the SOP Instance UID: " << uid;
        complete = false;

        // Left out while the others were confirmed: the destination did not want it.
        if (report_.refused.count(uid) == 0 && !confirmed.empty())
        {
          report_.refused[uid] = "not confirmed by the destination";
        }
      }
    }

    if (!complete && confirmed.empty())
    {
      report_.Fail("the destination confirmed none of the instances");
    }
    return complete;
  }
}
