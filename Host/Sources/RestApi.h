#pragma once

#include "HostConfig.h"
#include "InstanceIngest.h"
#include "PluginManager.h"
#include "RemoteRegistry.h"
#include "RestTypes.h"
#include "Storage.h"
#include "WebPages.h"

#include <string>
#include <vector>

namespace KestrumHost
{
  /** The host's built-in REST API: system, instances, metadata, changes, plug-ins, peers, pages. */
  class RestApi
  {
  private:
    const HostConfig& config_;
    Storage& storage_;
    InstanceIngest& ingest_;
    const PluginManager& plugins_;
    RemoteRegistry peers_;
    WebPages pages_;

    void ServeSystem(const RestRequest& request, RestAnswer& answer);
    void ServeInstances(const RestRequest& request, const std::vector<std::string>& segments, RestAnswer& answer);
    void ServeInstanceList(const RestRequest& request, RestAnswer& answer);
    void ServeInstance(const RestRequest& request, const std::string& id, RestAnswer& answer);
    void ServeInstanceFile(const RestRequest& request, const std::string& id, RestAnswer& answer);
    void ServeMetadataList(const RestRequest& request, const std::string& id, RestAnswer& answer);
    void ServeMetadataItem(const RestRequest& request, const std::string& id, const std::string& name,
                           RestAnswer& answer);
    void ServeChanges(const RestRequest& request, RestAnswer& answer);
    void ServePlugins(const RestRequest& request, const std::vector<std::string>& segments, RestAnswer& answer);
    void ServePeers(const RestRequest& request, const std::vector<std::string>& segments, RestAnswer& answer);

  public:
    RestApi(const HostConfig& config, Storage& storage, InstanceIngest& ingest, const PluginManager& plugins);

    /** Always answers: 404 (UnknownResource) for an unknown path, 405 with "Allow" for a wrong method. */
    void Handle(const RestRequest& request, RestAnswer& answer);

    /** The answer of POST /instances for one ingested file. */
    static Json::Value DescribeIngest(const IngestResult& result);
  };

  /** Splits a path on "/", dropping empty segments. */
  std::vector<std::string> SplitPath(const std::string& path);

  /** Answers 405 with the allowed methods unless the method is one of them; true when allowed. */
  bool RequireMethod(const RestRequest& request, RestAnswer& answer, const std::vector<KestrumHttpMethod>& allowed);

  /** Reads a decimal unsigned number; false for anything else (signs, blanks, overflow). */
  bool ParseUnsigned(const std::string& text, uint64_t& value);
}
