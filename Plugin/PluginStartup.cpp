#include "PluginStartup.h"

#include "HostBridge/HostContext.h"

#include <KestrumException.h>

#include <string>

namespace QuelbyCloud
{
  static void SetProperty(KestrumPluginContext* context, const char* pluginName,
                          KestrumProperty property, const std::string& value);

  void RegisterWithHost(KestrumPluginContext* context, const char* pluginName)
  {
    SetProperty(context, pluginName, KestrumProperty_Description,
                "Synchronization of Kestrum with cloud solutions provided by Quelby.");
    SetProperty(context, pluginName, KestrumProperty_RootUri,
                "/plugins/quelby-cloud/app/index.html");

    // Routes, the change callback, the explorer extension and the destination
    // kinds are registered here, in that order, as their handlers arrive.
  }

  void StopPlugin()
  {
  }

  static void SetProperty(KestrumPluginContext* context, const char* pluginName,
                          KestrumProperty property, const std::string& value)
  {
    _KestrumSetPluginProperty params;
    params.plugin = pluginName;
    params.property = property;
    params.value = value.c_str();

    KestrumErrorCode code = context->InvokeService(context, KestrumService_SetPluginProperty, &params);
    if (code != 0)
    {
      throw Kestrum::KestrumException(static_cast<Kestrum::ErrorCode>(code));
    }
  }
}
