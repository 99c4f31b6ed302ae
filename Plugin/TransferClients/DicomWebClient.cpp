#include "DicomWebClient.h"

#include "RequestHelpers.h"

#include <KestrumException.h>
#include <Logging.h>
#include <Toolbox.h>

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


  DicomWebClient::DicomWebClient(const std::string& rootUrl, const std::map<std::string, std::string>& headers) :
    sent_(false),
    rootUrl_(Kestrum::Toolbox::StripTrailingSlashes(rootUrl)),
    headers_(headers)
  {
  }


  bool DicomWebClient::TestConnection()
  {
    HostHttpClient request;
    request.SetMethod(KestrumHttpMethod_Get);
    request.SetUrl(rootUrl_ + "/studies?limit=1");
    request.SetHeader("Accept", "application/dicom+json");
    CopyHeaders(request, headers_);

    Json::Value answer;
    return (TryExecuteJson(answer, request) &&
            answer.isArray());
  }


  void DicomWebClient::AddInstance(const std::string& sopInstanceUid, const std::string& dicomFile)
  {
    if (sent_)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_BadSequenceOfCalls);
    }

    body_.AddDicomPart("", dicomFile);

    expected_.insert(sopInstanceUid);
  }


  bool DicomWebClient::Send()
  {
    if (sent_)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_BadSequenceOfCalls);
    }
    sent_ = true;

    HostHttpClient request;
    request.SetMethod(KestrumHttpMethod_Post);
    request.SetUrl(rootUrl_ + "/studies");
    request.SetHeader("Content-Type", "multipart/related; type=\"application/dicom\"; boundary=" + body_.GetBoundary());
    request.SetHeader("Accept", "application/dicom+json");
    request.SetHeader("Expect", "");
    CopyHeaders(request, headers_);
    body_.CloseInto(request);

    Json::Value answer;
    if (!TryExecuteJson(answer, request))
    {
      return false;
    }

    if (!HasArrayValue(answer, REFERENCED_SOP_SEQUENCE))
    {
      LOG(ERROR) << "Bad format of the DICOMweb answer";
      return false;
    }

    std::set<std::string> missing = expected_;

    const Json::Value& referenced = answer[REFERENCED_SOP_SEQUENCE]["Value"];
    for (Json::ArrayIndex i = 0; i < referenced.size(); i++)
    {
      const Json::Value& item = referenced[i];
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
