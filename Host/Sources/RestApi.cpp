#include "RestApi.h"

#include "ChangesPage.h"
#include "HostError.h"
#include "ResourceIds.h"

namespace KestrumHost
{
  namespace
  {
    enum : int
    {
      FirstUserMetadata = 1024,
      LastUserMetadata = 65535
    };

    bool ParseMetadataKey(const std::string& text, int& key)
    {
      uint64_t value;
      if (!ParseUnsigned(text, value) || value < FirstUserMetadata || value > LastUserMetadata)
      {
        return false;
      }
      key = static_cast<int>(value);
      return true;
    }
  }

  std::vector<std::string> SplitPath(const std::string& path)
  {
    std::vector<std::string> segments;
    size_t start = 0;
    while (start < path.size())
    {
      size_t end = path.find('/', start);
      if (end == std::string::npos)
      {
        end = path.size();
      }
      if (end > start)
      {
        segments.push_back(path.substr(start, end - start));
      }
      start = end + 1;
    }
    return segments;
  }

  bool RequireMethod(const RestRequest& request, RestAnswer& answer, const std::vector<KestrumHttpMethod>& allowed)
  {
    std::string allow;
    for (KestrumHttpMethod method : allowed)
    {
      if (method == request.method)
      {
        return true;
      }
      allow += (allow.empty() ? "" : ",");
      allow += MethodName(method);
    }
    answer.SetError(Kestrum::ErrorCode_BadRequest, 405, "Allowed methods: " + allow);
    answer.headers.emplace_back("Allow", allow);
    return false;
  }

  bool ParseUnsigned(const std::string& text, uint64_t& value)
  {
    if (text.empty() || text.size() > 19)
    {
      return false;
    }
    value = 0;
    for (char c : text)
    {
      if (c < '0' || c > '9')
      {
        return false;
      }
      value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
  }

  RestApi::RestApi(const HostConfig& config, Storage& storage, InstanceIngest& ingest, const PluginManager& plugins) :
    config_(config),
    storage_(storage),
    ingest_(ingest),
    plugins_(plugins),
    peers_(storage, "peers"),
    pages_(plugins)
  {
  }

  Json::Value RestApi::DescribeIngest(const IngestResult& result)
  {
    Json::Value description(Json::objectValue);
    description["ID"] = result.store.instanceId;
    description["Path"] = "/instances/" + result.store.instanceId;
    description["Status"] = result.store.alreadyStored ? "AlreadyStored" : "Success";
    description["ParentSeries"] = result.store.seriesId;
    description["ParentStudy"] = result.store.studyId;
    description["ParentPatient"] = result.store.patientId;
    return description;
  }

  void RestApi::Handle(const RestRequest& request, RestAnswer& answer)
  {
    std::vector<std::string> segments = SplitPath(request.path);
    if (segments.empty())
    {
      if (RequireMethod(request, answer, {KestrumHttpMethod_Get}))
      {
        answer.SetBody(pages_.RenderHome(config_.name), "text/html; charset=utf-8");
      }
      return;
    }

    const std::string& head = segments[0];
    if (head == "system" && segments.size() == 1)
    {
      ServeSystem(request, answer);
    }
    else if (head == "instances")
    {
      ServeInstances(request, segments, answer);
    }
    else if (head == "changes" && segments.size() == 1)
    {
      ServeChanges(request, answer);
    }
    else if (head == "plugins" && segments.size() <= 2)
    {
      ServePlugins(request, segments, answer);
    }
    else if (head == "peers" && segments.size() <= 2)
    {
      ServePeers(request, segments, answer);
    }
    else if (head == "app" && segments.size() >= 2)
    {
      if (RequireMethod(request, answer, {KestrumHttpMethod_Get}) &&
          !pages_.Serve(request.path, answer))
      {
        answer.SetError(Kestrum::ErrorCode_UnknownResource);
      }
    }
    else
    {
      answer.SetError(Kestrum::ErrorCode_UnknownResource);
    }
  }

  void RestApi::ServeSystem(const RestRequest& request, RestAnswer& answer)
  {
    if (!RequireMethod(request, answer, {KestrumHttpMethod_Get}))
    {
      return;
    }
    Json::Value system(Json::objectValue);
    system["Name"] = config_.name;
    system["Version"] = config_.version;
    system["HostVersion"] = KESTRUM_HOST_VERSION;
    system["ApiVersion"] = 1;
    system["DicomWebEnabled"] = config_.dicomWebEnabled;
    system["DicomAet"] = config_.dicomAet;
    system["DicomPort"] = config_.dicomPort;   // 0: no DICOM server
    system["PluginsEnabled"] = true;
    answer.SetJson(system);
  }

  void RestApi::ServeInstances(const RestRequest& request, const std::vector<std::string>& segments, RestAnswer& answer)
  {
    if (segments.size() == 1)
    {
      ServeInstanceList(request, answer);
    }
    else if (segments.size() == 2)
    {
      ServeInstance(request, segments[1], answer);
    }
    else if (segments[2] == "file" && segments.size() == 3)
    {
      ServeInstanceFile(request, segments[1], answer);
    }
    else if (segments[2] == "metadata" && segments.size() == 3)
    {
      ServeMetadataList(request, segments[1], answer);
    }
    else if (segments[2] == "metadata" && segments.size() == 4)
    {
      ServeMetadataItem(request, segments[1], segments[3], answer);
    }
    else
    {
      answer.SetError(Kestrum::ErrorCode_UnknownResource);
    }
  }

  void RestApi::ServeInstanceList(const RestRequest& request, RestAnswer& answer)
  {
    if (!RequireMethod(request, answer, {KestrumHttpMethod_Get, KestrumHttpMethod_Post}))
    {
      return;
    }
    if (request.method == KestrumHttpMethod_Get)
    {
      Json::Value ids(Json::arrayValue);
      for (const std::string& id : storage_.ListInstances())
      {
        ids.append(id);
      }
      answer.SetJson(ids);
      return;
    }
    IngestResult result = ingest_.Ingest(request.body);
    if (!result.stored)
    {
      answer.SetError(Kestrum::ErrorCode_BadFileFormat, result.reason);
      return;
    }
    answer.SetJson(DescribeIngest(result));
  }

  void RestApi::ServeInstance(const RestRequest& request, const std::string& id, RestAnswer& answer)
  {
    if (!RequireMethod(request, answer, {KestrumHttpMethod_Get, KestrumHttpMethod_Delete}))
    {
      return;
    }
    if (request.method == KestrumHttpMethod_Delete)
    {
      if (ingest_.Delete(id))
      {
        answer.SetJson(Json::Value(Json::objectValue));
      }
      else
      {
        answer.SetError(Kestrum::ErrorCode_UnknownResource, "No instance " + id);
      }
      return;
    }
    InstanceRecord record;
    if (!storage_.GetInstance(id, record))
    {
      answer.SetError(Kestrum::ErrorCode_UnknownResource, "No instance " + id);
      return;
    }
    Json::Value description(Json::objectValue);
    description["ID"] = record.id;
    description["Type"] = "Instance";
    description["FileSize"] = Json::Int64(record.fileSize);
    description["MainDicomTags"] = record.tags["Instance"];
    description["ParentSeries"] = record.seriesId;
    description["ParentStudy"] = record.studyId;
    description["ParentPatient"] = record.patientId;
    answer.SetJson(description);
  }

  void RestApi::ServeInstanceFile(const RestRequest& request, const std::string& id, RestAnswer& answer)
  {
    if (!RequireMethod(request, answer, {KestrumHttpMethod_Get}))
    {
      return;
    }
    // Files of some MiB: no copy on the way out, and none into a plug-in's buffer.
    std::string content;
    HostBlock block;
    if (!(request.wantsBlock ? storage_.ReadFile(id, block) : storage_.ReadFile(id, content)))
    {
      answer.SetError(Kestrum::ErrorCode_UnknownResource, "No instance " + id);
    }
    else if (request.wantsBlock)
    {
      answer.SetBody(std::move(block), "application/dicom");
    }
    else
    {
      answer.SetBody(std::move(content), "application/dicom");
    }
  }

  void RestApi::ServeMetadataList(const RestRequest& request, const std::string& id, RestAnswer& answer)
  {
    if (!RequireMethod(request, answer, {KestrumHttpMethod_Get}))
    {
      return;
    }
    std::vector<int> keys;
    if (!storage_.ListMetadata(id, keys))
    {
      answer.SetError(Kestrum::ErrorCode_UnknownResource, "No instance " + id);
      return;
    }
    Json::Value list(Json::arrayValue);
    for (int key : keys)
    {
      list.append(std::to_string(key));
    }
    answer.SetJson(list);
  }

  void RestApi::ServeMetadataItem(const RestRequest& request, const std::string& id, const std::string& name,
                                  RestAnswer& answer)
  {
    if (!RequireMethod(request, answer, {KestrumHttpMethod_Get, KestrumHttpMethod_Put, KestrumHttpMethod_Delete}))
    {
      return;
    }
    int key;
    if (!ParseMetadataKey(name, key))
    {
      // Only numeric user keys exist here; any other name is an unknown item, a bad one for a PUT.
      if (request.method == KestrumHttpMethod_Put)
      {
        answer.SetError(Kestrum::ErrorCode_ParameterOutOfRange, "Metadata keys are numbers from 1024 to 65535: " + name);
      }
      else
      {
        answer.SetError(Kestrum::ErrorCode_InexistentItem, "No metadata " + name);
      }
      return;
    }

    bool done;
    std::string value;
    switch (request.method)
    {
      case KestrumHttpMethod_Get: done = storage_.GetMetadata(id, key, value); break;
      case KestrumHttpMethod_Put: done = storage_.SetMetadata(id, key, request.body); break;
      default: done = storage_.DeleteMetadata(id, key); break;
    }
    if (done)
    {
      answer.SetBody(value, "text/plain");   // empty but for a GET
    }
    else if (request.method == KestrumHttpMethod_Put)
    {
      answer.SetError(Kestrum::ErrorCode_UnknownResource, "No instance " + id);
    }
    else
    {
      answer.SetError(Kestrum::ErrorCode_InexistentItem, "No metadata " + name + " for " + id);
    }
  }

  void RestApi::ServeChanges(const RestRequest& request, RestAnswer& answer)
  {
    if (!RequireMethod(request, answer, {KestrumHttpMethod_Get}))
    {
      return;
    }
    // "?last": only the newest change, so that a client knows how far the history goes.
    if (request.HasQuery("last"))
    {
      const int64_t last = storage_.GetLastChangeSeq();
      answer.SetJson(FormatChangesPage(storage_.ReadChanges(std::max<int64_t>(last - 1, 0), 1), 1, last));
      return;
    }

    uint64_t since = 0;
    uint64_t limit = ChangesDefaultLimit;
    std::string sinceText = request.GetQuery("since", "0");
    std::string limitText = request.GetQuery("limit", std::to_string(ChangesDefaultLimit));
    if (!ParseUnsigned(sinceText, since) || since > static_cast<uint64_t>(INT64_MAX) || !ParseUnsigned(limitText, limit))
    {
      answer.SetError(Kestrum::ErrorCode_ParameterOutOfRange, "\"since\" and \"limit\" must be unsigned integers");
      return;
    }
    if (limit == 0)
    {
      limit = ChangesDefaultLimit;
    }
    limit = std::min<uint64_t>(limit, ChangesMaximumLimit);
    unsigned int pageSize = static_cast<unsigned int>(limit);

    std::vector<ChangeRecord> fetched = storage_.ReadChanges(static_cast<int64_t>(since), pageSize + 1);
    int64_t last = fetched.empty() ? storage_.GetLastChangeSeq() : 0;
    answer.SetJson(FormatChangesPage(fetched, pageSize, last));
  }

  void RestApi::ServePlugins(const RestRequest& request, const std::vector<std::string>& segments, RestAnswer& answer)
  {
    if (!RequireMethod(request, answer, {KestrumHttpMethod_Get}))
    {
      return;
    }
    if (segments.size() == 1)
    {
      Json::Value names(Json::arrayValue);
      for (const std::string& name : plugins_.ListPluginNames())
      {
        names.append(name);
      }
      if (config_.dicomWebEnabled)
      {
        names.append("dicom-web");
      }
      answer.SetJson(names);
      return;
    }

    Json::Value description;
    if (plugins_.DescribePlugin(segments[1], description))
    {
      answer.SetJson(description);
    }
    else if (config_.dicomWebEnabled && segments[1] == "dicom-web")
    {
      description = Json::Value(Json::objectValue);
      description["ID"] = "dicom-web";
      description["Version"] = config_.version;
      description["Description"] = "Built-in DICOMweb service of the host";
      description["Root"] = config_.NormalizedDicomWebRoot() + "/";
      answer.SetJson(description);
    }
    else
    {
      answer.SetError(Kestrum::ErrorCode_UnknownResource, "No plug-in " + segments[1]);
    }
  }

  void RestApi::ServePeers(const RestRequest& request, const std::vector<std::string>& segments, RestAnswer& answer)
  {
    if (segments.size() == 1)
    {
      if (RequireMethod(request, answer, {KestrumHttpMethod_Get}))
      {
        peers_.List(answer);
      }
      return;
    }
    if (!RequireMethod(request, answer, {KestrumHttpMethod_Get, KestrumHttpMethod_Put, KestrumHttpMethod_Delete}))
    {
      return;
    }
    switch (request.method)
    {
      case KestrumHttpMethod_Get: peers_.Get(segments[1], answer); break;
      case KestrumHttpMethod_Put: peers_.Put(segments[1], request.body, answer); break;
      default: peers_.Delete(segments[1], answer); break;
    }
  }
}
