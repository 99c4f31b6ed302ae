#include "PluginStartup.h"

#include "Destinations/DestinationKinds.h"
#include "HostBridge/GuardedRestCallback.h"
#include "HostBridge/HostContext.h"
#include "Synchronization/PluginState.h"
#include "Synchronization/SynchronizationThreads.h"
#include "WebInterface/RestApi.h"
#include "WebInterface/StaticResources.h"

#include <KestrumException.h>

#include <mutex>
#include <string>

namespace QuelbyCloud
{
  namespace
  {
    const std::string BASE_URI = "/plugins/quelby-cloud";

    void Invoke(KestrumPluginContext* context, int32_t service, const void* params)
    {
      KestrumErrorCode code = context->InvokeService(context, service, params);
      if (code != 0)
      {
        throw Kestrum::KestrumException(static_cast<Kestrum::ErrorCode>(code));
      }
    }

    void SetProperty(KestrumPluginContext* context, const char* pluginName,
                     KestrumProperty property, const std::string& value)
    {
      _KestrumSetPluginProperty params;
      params.plugin = pluginName;
      params.property = property;
      params.value = value.c_str();
      Invoke(context, KestrumService_SetPluginProperty, &params);
    }

    // Every route is registered without the host's global lock.
    void RegisterRoute(KestrumPluginContext* context, const std::string& path, KestrumRestCallback callback)
    {
      const std::string expression = BASE_URI + path;
      _KestrumRestCallback params;
      params.pathRegularExpression = expression.c_str();
      params.callback = callback;
      Invoke(context, KestrumService_RegisterRestCallbackNoLock, &params);
    }

    void RegisterChangeCallback(KestrumPluginContext* context, KestrumOnChangeCallback callback)
    {
      _KestrumOnChangeCallback params;
      params.callback = callback;
      Invoke(context, KestrumService_RegisterOnChangeCallback, &params);
    }
  }


  void RegisterWithHost(KestrumPluginContext* context, const char* pluginName)
  {
    SetProperty(context, pluginName, KestrumProperty_Description,
                "Synchronization of Kestrum with cloud solutions provided by Quelby.");
    SetProperty(context, pluginName, KestrumProperty_RootUri, BASE_URI + "/app/index.html");

    // The library routes come before the catch-all page route: the host tries routes in this order.
    RegisterRoute(context, "/app/(js/.*)", GuardedRestCallback<ServeLibraryFile>);
    RegisterRoute(context, "/app/(css/.*)", GuardedRestCallback<ServeLibraryFile>);
    RegisterRoute(context, "/app/(fonts/.*)", GuardedRestCallback<ServeLibraryFile>);
    RegisterRoute(context, "/app/(.*)", GuardedRestCallback<ServeApplicationFile>);
    RegisterRoute(context, "/api/clear-pending", GuardedRestCallback<ServeClearPending>);
    RegisterRoute(context, "/api/connect", GuardedRestCallback<ServeConnect>);
    RegisterRoute(context, "/api/destinations", GuardedRestCallback<ServeDestinations>);
    RegisterRoute(context, "/api/disconnect", GuardedRestCallback<ServeDisconnect>);
    RegisterRoute(context, "/api/replay", GuardedRestCallback<ServeReplay>);
    RegisterRoute(context, "/api/force-replay", GuardedRestCallback<ServeForceReplay>);
    RegisterRoute(context, "/api/options", GuardedRestCallback<ServeOptions>);
    RegisterRoute(context, "/api/status", GuardedRestCallback<ServeStatus>);
    RegisterRoute(context, "/api/test-connection", GuardedRestCallback<ServeTestConnection>);

    RegisterChangeCallback(context, OnChange);

    SetProperty(context, pluginName, KestrumProperty_ExplorerExtension, ReadEmbeddedFile(0));

    RegisterDestinationKinds();
  }


  void StopPlugin()
  {
    StopThreads();

    // A plug-in initialised again in this process starts from what is stored.
    PluginState& state = PluginState::GetInstance();
    std::lock_guard<std::mutex> lock(state.GetMutex());
    state.Forget();
  }
}
