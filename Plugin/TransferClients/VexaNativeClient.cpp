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
    headers_(headers),
    boundary_(Kestrum::Toolbox::GenerateUuid())
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

    const std::string partHeader = ("--" + boundary_ + "\r\n" +
                                    "Content-Disposition: form-data; name=\"files\"; filename=\"" + fileName + "\"\r\n" +
                                    "Content-Length: " + std::to_string(dicomFile.size()) + "\r\n" +
                                    "Content-Type: application/dicom\r\n\r\n");
    body_.AddChunk(partHeader);
    body_.AddChunk(dicomFile);
    body_.AddChunk("\r\n");
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

    body_.AddChunk("--" + boundary_ + "--");

    std::string flattened;
    body_.Flatten(flattened);

    HostHttpClient request;
    request.SetMethod(KestrumHttpMethod_Post);
    request.SetUrl(rootUrl_ + "/api/v1/instances");
    request.SetHeader("Content-Type", "multipart/form-data; boundary=" + boundary_);
    request.SetHeader("Expect", "");
    CopyHeaders(request, headers_);
    request.SwapBody(flattened);

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
