// The four entry points that the host finds by name, and the callbacks it
// calls: every one of them reaches the plug-in through the one pointer below.

#include "QuelbyCloudPlugin.h"

#include <KestrumException.h>

#include <cstdio>
#include <memory>
#include <string>
#include <utility>

namespace
{
  const char* const PLUGIN_NAME = "quelby-cloud";
  const char* const PLUGIN_VERSION = "0.2";
  const int MINIMAL_MAJOR = 1;
  const int MINIMAL_MINOR = 4;
  const int MINIMAL_REVISION = 2;

  const char* const INITIALIZATION_FAILURE = "Exception while initializing the DICOMweb plugin";

  // Set by initialize, cleared by finalize. A callback holds its own
  // reference for as long as it runs, so finalizing while a request is being
  // served cannot pull the plug-in from under it.
  std::shared_ptr<QuelbyCloud::QuelbyCloudPlugin> plugin_;
}


std::shared_ptr<QuelbyCloud::QuelbyCloudPlugin> QuelbyCloud::GetRunningPlugin()
{
  return std::atomic_load(&plugin_);
}


namespace
{

  std::shared_ptr<QuelbyCloud::QuelbyCloudPlugin> AcquirePlugin()
  {
    return QuelbyCloud::GetRunningPlugin();
  }

  template <size_t Route>
  KestrumErrorCode ServeRouteCallback(KestrumRestOutput* output, const char* /*url*/, const KestrumHttpRequest* request)
  {
    const std::shared_ptr<QuelbyCloud::QuelbyCloudPlugin> plugin = AcquirePlugin();
    return plugin ? plugin->ServeRequest(Route, output, request) : Kestrum::ErrorCode_BadSequenceOfCalls;
  }

  KestrumErrorCode OnChangeCallback(int32_t changeType, int32_t resourceType, const char* resourceId)
  {
    const std::shared_ptr<QuelbyCloud::QuelbyCloudPlugin> plugin = AcquirePlugin();
    return plugin ? plugin->OnChange(changeType, resourceType, resourceId) : 0;
  }

  template <size_t... Routes>
  QuelbyCloud::HostCallbacks MakeHostCallbacks(std::index_sequence<Routes...>)
  {
    return { { &ServeRouteCallback<Routes>... }, &OnChangeCallback };
  }

  void LogVersionRefusal(const QuelbyCloud::HostBridge& host)
  {
    // The host's text is cut so that the message always fits its buffer.
    char message[1024];
    snprintf(message, sizeof(message),
             "Your version of Kestrum (%.900s) must be above %d.%d.%d to run this plugin",
             host.GetHostVersion(), MINIMAL_MAJOR, MINIMAL_MINOR, MINIMAL_REVISION);
    host.LogError(message);
  }

  int32_t Initialize(KestrumPluginContext* context)
  {
    if (AcquirePlugin() != nullptr)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_BadSequenceOfCalls);
    }

    auto plugin = std::make_shared<QuelbyCloud::QuelbyCloudPlugin>(context);

    if (!QuelbyCloud::CheckHostVersion(context->kestrumVersion, MINIMAL_MAJOR, MINIMAL_MINOR, MINIMAL_REVISION))
    {
      LogVersionRefusal(plugin->GetHost());
      return -1;   // nothing was registered: the plug-in stays inert
    }

    // Installed before the routes exist: the host may call one as soon as it is registered.
    std::atomic_store(&plugin_, plugin);
    try
    {
      plugin->RegisterWithHost(PLUGIN_NAME, MakeHostCallbacks(
        std::make_index_sequence<std::tuple_size<decltype(QuelbyCloud::REST_ROUTES)>::value>()));
    }
    catch (...)
    {
      // Registrations already made are not undone; their callbacks find no plug-in.
      std::atomic_store(&plugin_, std::shared_ptr<QuelbyCloud::QuelbyCloudPlugin>());
      throw;
    }
    return 0;
  }

  // The host's log, for failures of the start-up itself: the one of the
  // plug-in already running, else the one of the context given, if any.
  void LogInitializationFailure(KestrumPluginContext* context, const std::string& text)
  {
    if (const auto running = AcquirePlugin())
    {
      running->GetHost().LogError(text);
    }
    else if (context != nullptr)
    {
      QuelbyCloud::HostBridge(context).LogError(text);
    }
  }
}


extern "C"
{
  KESTRUM_PLUGINS_API int32_t KestrumPluginInitialize(KestrumPluginContext* context)
  {
    try
    {
      return Initialize(context);
    }
    catch (const Kestrum::KestrumException& e)
    {
      LogInitializationFailure(context, std::string(INITIALIZATION_FAILURE) + ": " + e.GetDescription());
      return -1;
    }
    catch (...)
    {
      LogInitializationFailure(context, INITIALIZATION_FAILURE);
      return -1;
    }
  }

  KESTRUM_PLUGINS_API void KestrumPluginFinalize()
  {
    try
    {
      const std::shared_ptr<QuelbyCloud::QuelbyCloudPlugin> plugin =
        std::atomic_exchange(&plugin_, std::shared_ptr<QuelbyCloud::QuelbyCloudPlugin>());
      if (plugin)
      {
        // Stopped here, on the host's thread, even if a request still holds the plug-in.
        plugin->GetThreads().StopThreads();
      }
    }
    catch (...)
    {
      // Nothing may reach the host from here.
    }
  }

  KESTRUM_PLUGINS_API const char* KestrumPluginGetName()
  {
    return PLUGIN_NAME;
  }

  KESTRUM_PLUGINS_API const char* KestrumPluginGetVersion()
  {
    return PLUGIN_VERSION;
  }
}
