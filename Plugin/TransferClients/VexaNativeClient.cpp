#include "VexaNativeClient.h"

#include <Logging.h>

namespace QuelbyCloud
{
  namespace
  {
    bool IsWellFormedReport(const Json::Value& answer)
    {
      if (!answer.isObject() ||
          !answer.isMember("content") ||
          !answer["content"].isObject())
      {
        return false;
      }

      const Json::Value& content = answer["content"];
      for (const char* list : { "studies", "badFormatFiles", "unexpectedErrorFiles" })
      {
        if (!content.isMember(list) ||
            !content[list].isArray())
        {
          return false;
        }
      }
      return true;
    }
  }


  VexaNativeClient::VexaNativeClient(const HostBridge& host, const std::string& rootUrl, const Headers& headers) :
    RemoteServer(host, rootUrl, headers)
  {
  }


  bool VexaNativeClient::TestConnection()
  {
    HostHttpClient request = MakeRequest(KestrumHttpMethod_Get, "/api/v1/me");
    const std::optional<Json::Value> answer = TryExecuteJson(request);
    return answer && answer->isObject() && answer->isMember("content");
  }


  void VexaNativeClient::Add(const std::string& sopInstanceUid, SharedFile dicomFile)
  {
    // The portal reports refused files by these names, in the order of the calls.
    const std::string fileName = "dicom-" + std::to_string(files_.size()) + ".dcm";
    files_[fileName] = sopInstanceUid;

    body_.AddDicomPart("Content-Disposition: form-data; name=\"files\"; filename=\"" + fileName + "\"\r\n",
                       dicomFile.bytes);
  }


  void VexaNativeClient::LogReportedFiles(const Json::Value& names, const char* prefix) const
  {
    // In the portal's order, one line per name of the batch.
    for (const Json::Value& name : names)
    {
      if (name.isString())
      {
        const auto found = files_.find(name.asString());
        if (found != files_.end())
        {
          LOG(WARNING) << prefix << found->second;
        }
      }
    }
  }


  bool VexaNativeClient::Deliver()
  {
    HostHttpClient request = MakeRequest(
      KestrumHttpMethod_Post, "/api/v1/instances",
      { { "Content-Type", "multipart/form-data; boundary=" + body_.GetBoundary() },
        { "Expect", "" } });
    body_.CloseInto(request);

    const std::optional<Json::Value> answer = TryExecuteJson(request);
    if (!answer)
    {
      FailAll(AllUids());
      return false;
    }

    if (!IsWellFormedReport(*answer))
    {
      LOG(ERROR) << "Bad format of the Vexa answer";
      FailAll(AllUids(), "unexpected answer from the destination");
      return false;
    }

    // The portal names the files it refused; it took the others.
    const Json::Value& badFormat = (*answer)["content"]["badFormatFiles"];
    const Json::Value& unexpectedError = (*answer)["content"]["unexpectedErrorFiles"];
    report_.confirmed = AllUids();
    for (const std::string& uid : ReportedUids(badFormat))
    {
      report_.confirmed.erase(uid);
      report_.refused[uid] = "bad file format, reported by the portal";
    }
    for (const std::string& uid : ReportedUids(unexpectedError))
    {
      report_.confirmed.erase(uid);
      report_.Fail("unexpected error at the portal");
    }

    // One reported file makes the whole batch fail: the portal's report decides for all.
    if (badFormat.empty() && unexpectedError.empty())
    {
      return true;
    }

    LogReportedFiles(badFormat, "Vexa protocol - Bad file format for SOP Instance UID: ");
    LogReportedFiles(unexpectedError, "Vexa protocol - Unexpected error in DICOM file with SOP Instance UID: ");
    LOG(ERROR) << "Some instances were not properly received by the remote Vexa server";
    return false;
  }


  std::set<std::string> VexaNativeClient::AllUids() const
  {
    std::set<std::string> uids;
    for (const auto& [name, uid] : files_)
    {
      uids.insert(uid);
    }
    return uids;
  }


  std::set<std::string> VexaNativeClient::ReportedUids(const Json::Value& names) const
  {
    std::set<std::string> uids;
    for (const Json::Value& name : names)
    {
      if (name.isString())
      {
        const auto found = files_.find(name.asString());
        if (found != files_.end())
        {
          uids.insert(found->second);
        }
      }
    }
    return uids;
  }
}
