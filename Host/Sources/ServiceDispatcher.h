#pragma once

#include "HostServices.h"
#include "RouteRegistry.h"

#include <Plugins/KestrumPluginInterface.h>

#include <string>

namespace KestrumHost
{
  /**
   * Serves the plug-ins' calls to InvokeService, one function per service, on
   * the calling plug-in's thread: registrations go to the route registry, the
   * rest to the host's services.
   */
  class ServiceDispatcher
  {
  private:
    IHostServices& host_;
    RouteRegistry& registry_;

    KestrumErrorCode Dispatch(const std::string& plugin, int32_t service, const void* params);

  public:
    ServiceDispatcher(IHostServices& host, RouteRegistry& registry);

    /** One service call of the named plug-in. Never throws: a failure is an error code (logged). */
    KestrumErrorCode Invoke(const std::string& plugin, int32_t service, const void* params);
  };
}
