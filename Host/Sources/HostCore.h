#pragma once

#include "ChangeDispatcher.h"
#include "DicomWebService.h"
#include "HostConfig.h"
#include "HostServices.h"
#include "HttpClient.h"
#include "InstanceIngest.h"
#include "PluginManager.h"
#include "RestApi.h"
#include "Storage.h"

#include <memory>
#include <string>

namespace KestrumHost
{
  /**
   * Everything the host is, but the HTTP and DICOM servers: storage, plug-ins, change
   * dispatcher, built-in API and DICOMweb service. Serves REST requests from any
   * source (HTTP threads or plug-ins' service calls) on the caller's thread.
   *
   * Life cycle: LoadPlugins, InitializePlugins, (HTTP and DICOM servers start),
   * Started, ... , (DICOM server stops), Stopping, (HTTP server stops),
   * FinalizePlugins.
   */
  class HostCore : public IHostServices
  {
  private:
    HostConfig config_;
    std::string configurationJson_;
    Storage storage_;
    HttpClient httpClient_;
    PluginManager plugins_;
    ChangeDispatcher dispatcher_;
    InstanceIngest ingest_;
    RestApi api_;
    std::unique_ptr<DicomWebService> dicomWeb_;

  public:
    /** Opens the storage. Throws HostError. */
    explicit HostCore(const HostConfig& config);

    const HostConfig& GetConfig() const { return config_; }
    Storage& GetStorage() { return storage_; }
    PluginManager& GetPlugins() { return plugins_; }
    InstanceIngest& GetIngest() { return ingest_; }

    /** dlopen of the configured plug-ins. Throws HostError. */
    void LoadPlugins();

    /** False when a plug-in refused to start (already logged). */
    bool InitializePlugins();

    /** The host is serving: starts delivering changes, beginning with "started". */
    void Started();

    /** Delivers "stopping" after every change queued before it, then stops the delivery. */
    void Stopping();

    void FinalizePlugins();

    void HandleRest(const RestRequest& request, bool withPlugins, RestAnswer& answer) override;
    std::string GetConfigurationJson() override;
    bool GetGlobalProperty(int property, std::string& value) override;
    void SetGlobalProperty(int property, const std::string& value) override;
    Kestrum::ErrorCode CallHttpClient(const OutgoingRequest& request, OutgoingAnswer& answer) override;
  };
}
