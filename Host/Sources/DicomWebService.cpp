#include "DicomWebService.h"

#include "Multipart.h"
#include "RestApi.h"

namespace KestrumHost
{
  namespace
  {
    // Failure reason of the store response: "Processing failure: cannot understand".
    const int FailureCannotUnderstand = 0xC000;

    Json::Value Attribute(const char* vr, const Json::Value& value)
    {
      Json::Value attribute(Json::objectValue);
      attribute["vr"] = vr;
      if (!value.isNull())
      {
        attribute["Value"] = Json::Value(Json::arrayValue);
        attribute["Value"].append(value);
      }
      return attribute;
    }

    Json::Value TextAttribute(const char* vr, const Json::Value& tags, const char* name)
    {
      if (tags.isObject() && tags.isMember(name) && !tags[name].asString().empty())
      {
        return Attribute(vr, tags[name].asString());
      }
      return Attribute(vr, Json::Value());
    }

    /** True for a multipart body of DICOM files, whose boundary is then given; an error answer otherwise. */
    bool AcceptStowType(const std::string& header, std::string& boundary, RestAnswer& answer)
    {
      ContentType contentType = ParseContentType(header);
      if (contentType.mediaType != "multipart/related")
      {
        answer.SetError(Kestrum::ErrorCode_UnsupportedMediaType,
                        "STOW-RS expects multipart/related; type=\"application/dicom\"");
        return false;
      }
      auto type = contentType.parameters.find("type");
      if (type != contentType.parameters.end() && ParseContentType(type->second).mediaType != "application/dicom")
      {
        answer.SetError(Kestrum::ErrorCode_UnsupportedMediaType, "Only application/dicom parts are accepted");
        return false;
      }
      boundary = contentType.parameters["boundary"];
      return true;
    }

    Json::Value ReferencedInstance(const IngestResult& result)
    {
      Json::Value item(Json::objectValue);
      item["00081150"] = Attribute("UI", result.dicom.sopClassUid);
      item["00081155"] = Attribute("UI", result.dicom.ids.sopInstanceUid);
      return item;
    }

    Json::Value FailedInstance()
    {
      Json::Value item(Json::objectValue);
      item["00081197"] = Attribute("US", FailureCannotUnderstand);
      return item;
    }

    /** 200 when all were stored, 202 when some were, 409 when none was. */
    void AnswerStow(const Json::Value& referenced, const Json::Value& failed, RestAnswer& answer)
    {
      Json::Value response(Json::objectValue);
      if (!referenced.empty())
      {
        response["00081199"] = Attribute("SQ", Json::Value());
        response["00081199"]["Value"] = referenced;
      }
      if (!failed.empty())
      {
        response["00081198"] = Attribute("SQ", Json::Value());
        response["00081198"]["Value"] = failed;
      }
      answer.SetJson(response);
      answer.contentType = "application/dicom+json";
      if (referenced.empty())
      {
        answer.status = 409;
        answer.errorCode = Kestrum::ErrorCode_CannotStoreInstance;
      }
      else if (!failed.empty())
      {
        answer.status = 202;
      }
    }
  }

  DicomWebService::DicomWebService(const HostConfig& config, Storage& storage, InstanceIngest& ingest) :
    root_(config.NormalizedDicomWebRoot()),
    storage_(storage),
    ingest_(ingest),
    servers_(storage, "dicomweb-servers")
  {
  }

  bool DicomWebService::Handle(const RestRequest& request, RestAnswer& answer)
  {
    if (request.path.compare(0, root_.size() + 1, root_ + "/") != 0)
    {
      return false;
    }
    std::vector<std::string> segments = SplitPath(request.path.substr(root_.size()));
    if (segments.empty())
    {
      return false;
    }

    if (segments[0] == "studies" && segments.size() == 1)
    {
      if (RequireMethod(request, answer, {KestrumHttpMethod_Get, KestrumHttpMethod_Post}))
      {
        if (request.method == KestrumHttpMethod_Post)
        {
          Store(request, answer);
        }
        else
        {
          SearchStudies(request, answer);
        }
      }
      return true;
    }
    if (segments[0] == "servers" && segments.size() == 1)
    {
      if (RequireMethod(request, answer, {KestrumHttpMethod_Get}))
      {
        servers_.List(answer);
      }
      return true;
    }
    if (segments[0] == "servers" && segments.size() == 2)
    {
      if (RequireMethod(request, answer, {KestrumHttpMethod_Get, KestrumHttpMethod_Put, KestrumHttpMethod_Delete}))
      {
        switch (request.method)
        {
          case KestrumHttpMethod_Get: servers_.Get(segments[1], answer); break;
          case KestrumHttpMethod_Put: servers_.Put(segments[1], request.body, answer); break;
          default: servers_.Delete(segments[1], answer); break;
        }
      }
      return true;
    }
    return false;
  }

  void DicomWebService::Store(const RestRequest& request, RestAnswer& answer)
  {
    std::string boundary;
    if (!AcceptStowType(request.GetHeader("content-type"), boundary, answer))
    {
      return;
    }
    std::vector<MultipartPart> parts;
    std::string error;
    if (!ParseMultipart(request.body, boundary, parts, error))
    {
      answer.SetError(Kestrum::ErrorCode_BadRequest, error);
      return;
    }

    Json::Value referenced(Json::arrayValue);
    Json::Value failed(Json::arrayValue);
    for (const MultipartPart& part : parts)
    {
      IngestResult result;
      if (part.valid)
      {
        result = ingest_.Ingest(part.body);
      }
      else
      {
        result.reason = part.error;
      }
      if (result.stored)
      {
        referenced.append(ReferencedInstance(result));
      }
      else
      {
        failed.append(FailedInstance());
      }
    }
    AnswerStow(referenced, failed, answer);
  }

  void DicomWebService::SearchStudies(const RestRequest& request, RestAnswer& answer)
  {
    uint64_t limit = 0;
    uint64_t offset = 0;
    if (!ParseUnsigned(request.GetQuery("limit", "0"), limit) ||
        !ParseUnsigned(request.GetQuery("offset", "0"), offset) ||
        limit > UINT32_MAX || offset > UINT32_MAX)
    {
      answer.SetError(Kestrum::ErrorCode_ParameterOutOfRange, "\"limit\" and \"offset\" must be unsigned integers");
      return;
    }

    Json::Value studies(Json::arrayValue);
    for (const StudyRecord& study : storage_.ListStudies(static_cast<unsigned int>(limit),
                                                         static_cast<unsigned int>(offset)))
    {
      Json::Value item(Json::objectValue);
      item["0020000D"] = TextAttribute("UI", study.studyTags, "StudyInstanceUID");
      item["00080020"] = TextAttribute("DA", study.studyTags, "StudyDate");
      item["00080050"] = TextAttribute("SH", study.studyTags, "AccessionNumber");
      item["00100020"] = TextAttribute("LO", study.patientTags, "PatientID");
      if (study.patientTags.isMember("PatientName") && !study.patientTags["PatientName"].asString().empty())
      {
        Json::Value name(Json::objectValue);
        name["Alphabetic"] = study.patientTags["PatientName"].asString();
        item["00100010"] = Attribute("PN", name);
      }
      else
      {
        item["00100010"] = Attribute("PN", Json::Value());
      }
      item["00201208"] = Attribute("IS", Json::Int64(study.instanceCount));
      studies.append(item);
    }
    answer.SetJson(studies);
    answer.contentType = "application/dicom+json";
  }
}
