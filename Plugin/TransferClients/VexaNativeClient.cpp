#include "VexaNativeClient.h"

#include "RequestHelpers.h"

#include <KestrumException.h>
#include <Logging.h>
#include <Toolbox.h>

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


  VexaNativeClient::VexaNativeClient(const std::string& rootUrl, const std::map<std::string, std::string>& headers) :
    sent_(false),
    rootUrl_(Kestrum::Toolbox::StripTrailingSlashes(rootUrl)),
    headers_(headers)
  {
  }


  bool VexaNativeClient::TestConnection()
  {
    HostHttpClient request;
    request.SetMethod(KestrumHttpMethod_Get);
    request.SetUrl(rootUrl_ + "/api/v1/me");
    CopyHeaders(request, headers_);

    Json::Value answer;
    return (TryExecuteJson(answer, request) &&
            answer.isObject() &&
            answer.isMember("content"));
  }


  void VexaNativeClient::AddInstance(const std::string& sopInstanceUid, const std::string& dicomFile)
  {
    if (sent_)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_BadSequenceOfCalls);
    }

    const std::string fileName = "dicom-" + std::to_string(files_.size()) + ".dcm";
    files_[fileName] = sopInstanceUid;

    body_.AddDicomPart("Content-Disposition: form-data; name=\"files\"; filename=\"" + fileName + "\"\r\n",
                       dicomFile);
  }


  void VexaNativeClient::LogReportedFiles(const Json::Value& names, const char* prefix) const
  {
    for (Json::ArrayIndex i = 0; i < names.size(); i++)
    {
      if (names[i].isString())
      {
        std::map<std::string, std::string>::const_iterator found = files_.find(names[i].asString());
        if (found != files_.end())
        {
          LOG(WARNING) << prefix << found->second;
        }
      }
    }
  }


  bool VexaNativeClient::Send()
  {
    if (sent_)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_BadSequenceOfCalls);
    }
    sent_ = true;

    HostHttpClient request;
    request.SetMethod(KestrumHttpMethod_Post);
    request.SetUrl(rootUrl_ + "/api/v1/instances");
    request.SetHeader("Content-Type", "multipart/form-data; boundary=" + body_.GetBoundary());
    request.SetHeader("Expect", "");
    CopyHeaders(request, headers_);
    body_.CloseInto(request);

    Json::Value answer;
    if (!TryExecuteJson(answer, request))
    {
      return false;
    }

    if (!IsWellFormedReport(answer))
    {
      LOG(ERROR) << "Bad format of the Vexa answer";
      return false;
    }

    const Json::Value& badFormat = answer["content"]["badFormatFiles"];
    const Json::Value& unexpectedError = answer["content"]["unexpectedErrorFiles"];
    if (badFormat.empty() && unexpectedError.empty())
    {
      return true;
    }

    LogReportedFiles(badFormat, "Vexa protocol - Bad file format for SOP Instance UID: ");
    LogReportedFiles(unexpectedError, "Vexa protocol - Unexpected error in DICOM file with SOP Instance UID: ");
    LOG(ERROR) << "Some instances were not properly received by the remote Vexa server";
    return false;
  }
}
