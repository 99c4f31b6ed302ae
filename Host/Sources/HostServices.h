#pragma once

#include "HttpClient.h"
#include "RestTypes.h"

#include <string>

namespace KestrumHost
{
  /** What the plug-in manager needs from the rest of the host to serve the plug-ins' service calls. */
  class IHostServices
  {
  public:
    virtual ~IHostServices() = default;

    /** Serves a REST request in-process: built-in API only, or plug-in routes and DICOMweb first. */
    virtual void HandleRest(const RestRequest& request, bool withPlugins, RestAnswer& answer) = 0;

    virtual std::string GetConfigurationJson() = 0;
    virtual bool GetGlobalProperty(int property, std::string& value) = 0;
    virtual void SetGlobalProperty(int property, const std::string& value) = 0;

    /** One outgoing request; failures are logged here. */
    virtual Kestrum::ErrorCode CallHttpClient(const OutgoingRequest& request, OutgoingAnswer& answer) = 0;
  };
}
