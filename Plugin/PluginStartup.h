#pragma once

#include <Plugins/KestrumPluginInterface.h>

namespace QuelbyCloud
{
  /** Steps 5 to 10 of the start-up: properties, routes, change callback, explorer extension, destinations. */
  void RegisterWithHost(KestrumPluginContext* context, const char* pluginName);

  /** The orderly stop of the finalization: the two threads are stopped and joined. */
  void StopPlugin();
}
