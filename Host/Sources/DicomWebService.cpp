#include "DicomWebService.h"

#include "DicomParser.h"
#include "HostLog.h"
#include "Multipart.h"
#include "RestApi.h"

#include <Toolbox.h>

#include <algorithm>
#include <map>
#include <random>

namespace KestrumHost
{
  namespace
  {
    /** Failure reasons of the store response. */
    enum StowFailureReason : int
    {
      StowFailure_StudyMismatch = 0xA900,      // not of the study the request names
      StowFailure_CannotUnderstand = 0xC000
    };

    const char* const DicomJson = "application/dicom+json";

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

    /** The media ranges of an "Accept" header; quoted commas do not split. */
    std::vector<ContentType> ParseAccept(const std::string& header)
    {
      std::vector<ContentType> ranges;
      std::string current;
      bool quoted = false;
      for (size_t i = 0; i <= header.size(); i++)
      {
        if (i == header.size() || (header[i] == ',' && !quoted))
        {
          ContentType range = ParseContentType(current);
          if (!range.mediaType.empty())
          {
            ranges.push_back(range);
          }
          current.clear();
          continue;
        }
        quoted = (header[i] == '"') != quoted;
        current += header[i];
      }
      return ranges;
    }

    bool IsRefusedRange(const ContentType& range)
    {
      auto q = range.parameters.find("q");
      return q != range.parameters.end() && std::strtod(q->second.c_str(), nullptr) <= 0;
    }

    /** True when the client takes DICOM JSON (no "Accept" takes anything). */
    bool AcceptsJson(const RestRequest& request)
    {
      const std::string header = request.GetHeader("accept");
      if (Kestrum::Toolbox::TrimSpaces(header).empty())
      {
        return true;
      }
      for (const ContentType& range : ParseAccept(header))
      {
        const std::string& type = range.mediaType;
        if (!IsRefusedRange(range) &&
            (type == DicomJson || type == "application/json" || type == "application/*" || type == "*/*"))
        {
          return true;
        }
      }
      return false;
    }

    /**
     * True when the client takes the stored files as they are, in a
     * multipart/related body of application/dicom parts: no transfer syntax
     * other than "*" is asked for, since the host does not transcode.
     */
    bool AcceptsStoredFiles(const RestRequest& request)
    {
      const std::string header = request.GetHeader("accept");
      if (Kestrum::Toolbox::TrimSpaces(header).empty())
      {
        return true;
      }
      for (const ContentType& range : ParseAccept(header))
      {
        if (IsRefusedRange(range))
        {
          continue;
        }
        if (range.mediaType == "*/*" || range.mediaType == "multipart/*")
        {
          return true;
        }
        auto type = range.parameters.find("type");
        auto syntax = range.parameters.find("transfer-syntax");
        if (range.mediaType == "multipart/related" &&
            (type == range.parameters.end() || ParseContentType(type->second).mediaType == "application/dicom") &&
            (syntax == range.parameters.end() || syntax->second == "*"))
        {
          return true;
        }
      }
      return false;
    }

    void RefuseMediaType(RestAnswer& answer, const std::string& offered)
    {
      answer.SetError(Kestrum::ErrorCode_NotAcceptable, "This resource is only available as " + offered);
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

    /** The reason, and the instance's UIDs when it could be read. */
    Json::Value FailedInstance(const IngestResult& result)
    {
      Json::Value item(Json::objectValue);
      if (!result.dicom.ids.sopInstanceUid.empty())
      {
        item = ReferencedInstance(result);
      }
      item["00081197"] = Attribute("US", result.otherStudy ? StowFailure_StudyMismatch : StowFailure_CannotUnderstand);
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
      answer.contentType = DicomJson;
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

    /** What a search answers about one study, series or instance: its first instance, and counts. */
    struct Found
    {
      const InstanceRecord* first;
      std::vector<std::string> series;
      std::vector<std::string> modalities;
      int64_t instances = 0;
    };

    std::string StoredTag(const InstanceRecord& record, const char* group, const char* keyword)
    {
      const Json::Value& value = record.tags[group][keyword];
      return value.isString() ? value.asString() : std::string();
    }

    /** Groups the instances at the level searched, in the order they were stored. */
    std::vector<Found> Group(const std::vector<InstanceRecord>& records, QueryLevel level)
    {
      std::vector<Found> found;
      std::map<std::string, size_t> index;
      for (const InstanceRecord& record : records)
      {
        const std::string study = StoredTag(record, "Study", "StudyInstanceUID");
        const std::string series = StoredTag(record, "Series", "SeriesInstanceUID");
        std::string key = (level == QueryLevel::Study ? study :
                           level == QueryLevel::Series ? study + "\\" + series : record.id);
        auto known = index.find(key);
        if (known == index.end())
        {
          known = index.emplace(key, found.size()).first;
          found.push_back(Found{&record, {}, {}, 0});
        }
        Found& entry = found[known->second];
        entry.instances++;
        if (std::find(entry.series.begin(), entry.series.end(), series) == entry.series.end())
        {
          entry.series.push_back(series);
          const std::string modality = StoredTag(record, "Series", "Modality");
          if (!modality.empty() &&
              std::find(entry.modalities.begin(), entry.modalities.end(), modality) == entry.modalities.end())
          {
            entry.modalities.push_back(modality);
          }
        }
      }
      return found;
    }

    std::vector<std::string> ValuesOf(const Found& found, const QueryAttribute& attribute)
    {
      const std::string keyword = attribute.keyword;
      if (attribute.group[0] != '\0')
      {
        return {StoredTag(*found.first, attribute.group, attribute.keyword)};
      }
      if (keyword == "ModalitiesInStudy")
      {
        return found.modalities;
      }
      if (keyword == "NumberOfStudyRelatedSeries")
      {
        return {std::to_string(found.series.size())};
      }
      return {std::to_string(found.instances)};   // the instances of the study or of the series
    }

    std::string NewBoundary()
    {
      static thread_local std::mt19937_64 random{std::random_device{}()};
      char text[48];
      snprintf(text, sizeof(text), "kestrum-%016llx%016llx", static_cast<unsigned long long>(random()),
               static_cast<unsigned long long>(random()));
      return text;
    }
  }

  DicomWebService::DicomWebService(const HostConfig& config, Storage& storage, InstanceIngest& ingest) :
    root_(config.NormalizedDicomWebRoot()),
    largestAnswer_(static_cast<uint64_t>(config.maximumBodySize) << 20),
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

    if (segments[0] == "studies")
    {
      return HandleStudies(request, segments, answer);
    }
    if ((segments[0] == "series" || segments[0] == "instances") && segments.size() == 1)
    {
      if (RequireMethod(request, answer, {KestrumHttpMethod_Get}))
      {
        Search(request, segments[0] == "series" ? QueryLevel::Series : QueryLevel::Instance, Target(), answer);
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

  bool DicomWebService::HandleStudies(const RestRequest& request, const std::vector<std::string>& segments,
                                      RestAnswer& answer)
  {
    const size_t count = segments.size();
    Target target;
    target.study = count > 1 ? segments[1] : "";
    target.series = count > 3 && segments[2] == "series" ? segments[3] : "";
    target.instance = count > 5 && segments[4] == "instances" ? segments[5] : "";

    // "studies" and "studies/{study}" also take STOW-RS.
    if (count <= 2)
    {
      if (!RequireMethod(request, answer, {KestrumHttpMethod_Get, KestrumHttpMethod_Post}))
      {
        return true;
      }
      if (request.method == KestrumHttpMethod_Post)
      {
        Store(request, target.study, answer);
      }
      else if (count == 1)
      {
        Search(request, QueryLevel::Study, target, answer);
      }
      else
      {
        Retrieve(request, target, answer);
      }
      return true;
    }

    enum class Action { None, SearchSeries, SearchInstances, Retrieve, Metadata };
    Action action = Action::None;
    const std::string& last = segments.back();
    if ((count == 3 && last == "series"))
    {
      action = Action::SearchSeries;
    }
    else if ((count == 3 || (count == 5 && !target.series.empty())) && last == "instances")
    {
      action = Action::SearchInstances;
    }
    else if ((count == 3 || (count == 5 && !target.series.empty()) || (count == 7 && !target.instance.empty())) &&
             last == "metadata")
    {
      action = Action::Metadata;
    }
    else if ((count == 4 && !target.series.empty()) || (count == 6 && !target.instance.empty()))
    {
      action = Action::Retrieve;
    }
    if (action == Action::None)
    {
      return false;
    }
    if (!RequireMethod(request, answer, {KestrumHttpMethod_Get}))
    {
      return true;
    }
    switch (action)
    {
      case Action::SearchSeries: Search(request, QueryLevel::Series, target, answer); break;
      case Action::SearchInstances: Search(request, QueryLevel::Instance, target, answer); break;
      case Action::Metadata: RetrieveMetadata(request, target, answer); break;
      default: Retrieve(request, target, answer); break;
    }
    return true;
  }

  void DicomWebService::Store(const RestRequest& request, const std::string& studyUid, RestAnswer& answer)
  {
    if (!AcceptsJson(request))
    {
      RefuseMediaType(answer, DicomJson);
      return;
    }
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
        result = ingest_.Ingest(part.body, studyUid);
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
        failed.append(FailedInstance(result));
      }
    }
    AnswerStow(referenced, failed, answer);
  }

  void DicomWebService::Search(const RestRequest& request, QueryLevel level, const Target& target,
                               RestAnswer& answer)
  {
    if (!AcceptsJson(request))
    {
      RefuseMediaType(answer, DicomJson);
      return;
    }
    DicomWebQuery query;
    std::string error;
    if (!query.Parse(level, request.query, error))
    {
      answer.SetError(Kestrum::ErrorCode_BadRequest, error);
      return;
    }

    const std::vector<InstanceRecord> records = storage_.FindInstances(target.study, target.series, "");
    Json::Value results(Json::arrayValue);
    unsigned int skipped = 0;
    for (const Found& found : Group(records, level))
    {
      auto values = [&found](const QueryAttribute& attribute) { return ValuesOf(found, attribute); };
      if (!query.Matches(values))
      {
        continue;
      }
      if (skipped < query.offset)
      {
        skipped++;
        continue;
      }
      if (query.limit != 0 && results.size() >= query.limit)
      {
        break;
      }
      Json::Value item(Json::objectValue);
      for (const QueryAttribute& attribute : QueryAttributes())
      {
        if (query.Returns(attribute))
        {
          item[attribute.tag] = FormatAttribute(attribute, values(attribute));
        }
      }
      results.append(item);
    }
    answer.SetJson(results);
    answer.contentType = DicomJson;
  }

  bool DicomWebService::FindForRetrieve(const Target& target, std::vector<InstanceRecord>& records,
                                        RestAnswer& answer) const
  {
    records = storage_.FindInstances(target.study, target.series, target.instance);
    if (records.empty())
    {
      answer.SetError(Kestrum::ErrorCode_UnknownResource, "Nothing stored under this path");
      return false;
    }
    uint64_t total = 0;
    for (const InstanceRecord& record : records)
    {
      total += static_cast<uint64_t>(record.fileSize);
    }
    if (total > largestAnswer_)
    {
      // Answers are built in memory, like request bodies: the same limit holds.
      answer.SetError(Kestrum::ErrorCode_BadRequest, "The files here add up to more than MaximumBodySize: "
                      "retrieve their series or instances one at a time");
      return false;
    }
    return true;
  }

  void DicomWebService::Retrieve(const RestRequest& request, const Target& target, RestAnswer& answer)
  {
    if (!AcceptsStoredFiles(request))
    {
      RefuseMediaType(answer, "multipart/related; type=\"application/dicom\" (the files as stored)");
      return;
    }
    std::vector<InstanceRecord> records;
    if (!FindForRetrieve(target, records, answer))
    {
      return;
    }
    const std::string boundary = NewBoundary();
    std::string body;
    size_t expected = 0;
    for (const InstanceRecord& record : records)
    {
      expected += static_cast<size_t>(record.fileSize) + boundary.size() + 80;
    }
    body.reserve(expected);
    for (const InstanceRecord& record : records)
    {
      const size_t partStart = body.size();
      body += "--" + boundary + "\r\nContent-Type: application/dicom\r\nContent-Length: " +
              std::to_string(record.fileSize) + "\r\n\r\n";
      if (storage_.AppendFile(record.id, body))
      {
        body += "\r\n";
      }
      else
      {
        body.resize(partStart);   // deleted since it was listed
      }
    }
    body += "--" + boundary + "--\r\n";
    answer.SetBody(std::move(body), "multipart/related; type=\"application/dicom\"; boundary=" + boundary);
  }

  void DicomWebService::RetrieveMetadata(const RestRequest& request, const Target& target, RestAnswer& answer)
  {
    if (!AcceptsJson(request))
    {
      RefuseMediaType(answer, DicomJson);
      return;
    }
    std::vector<InstanceRecord> records;
    if (!FindForRetrieve(target, records, answer))
    {
      return;
    }
    std::string body = "[";
    std::string file;
    for (const InstanceRecord& record : records)
    {
      file.clear();
      std::string json, reason;
      if (!storage_.AppendFile(record.id, file))
      {
        continue;   // deleted since it was listed
      }
      if (!DicomToJson(file.data(), file.size(), json, reason))
      {
        LogWarning("Stored instance " + record.id + " cannot be described: " + reason);
        continue;
      }
      body += (body.size() > 1 ? "," : "") + json;
    }
    body += "]";
    answer.SetBody(std::move(body), DicomJson);
  }
}
