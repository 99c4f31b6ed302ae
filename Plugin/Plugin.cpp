// The four entry points that the host finds by name, and the start-up sequence.

#include "HostBridge/HostContext.h"
#include "PluginStartup.h"

#include <KestrumException.h>
#include <Logging.h>

#include <cstdio>
#include <string>

namespace
{
  const char* const PLUGIN_NAME = "quelby-cloud";
  const char* const PLUGIN_VERSION = "0.2";
  const int MINIMAL_MAJOR = 1;
  const int MINIMAL_MINOR = 4;
  const int MINIMAL_REVISION = 2;

  void LogVersionRefusal(KestrumPluginContext* context)
  {
    // The host's text is cut so that the message always fits its buffer.
    char message[1024];
    snprintf(message, sizeof(message),
             "Your version of Kestrum (%.900s) must be above %d.%d.%d to run this plugin",
             context->kestrumVersion != nullptr ? context->kestrumVersion : "",
             MINIMAL_MAJOR, MINIMAL_MINOR, MINIMAL_REVISION);
    context->InvokeService(context, KestrumService_LogError, message);
  }
}

extern "C"
{
  KESTRUM_PLUGINS_API int32_t KestrumPluginInitialize(KestrumPluginContext* context)
  {
    try
    {
      QuelbyCloud::BindHostContext(context);
    }
    catch (const Kestrum::KestrumException& e)
    {
      // A null context or a second start: nothing can be registered; log if a context was bound before.
      QuelbyCloud::HostLogError(std::string("Exception while initializing the DICOMweb plugin: ") + e.GetDescription());
      return -1;
    }

    QuelbyCloud::BindLogToContext(context);

    if (!QuelbyCloud::CheckHostVersion(context->kestrumVersion, MINIMAL_MAJOR, MINIMAL_MINOR, MINIMAL_REVISION))
    {
      LogVersionRefusal(context);
      return -1;
    }

    try
    {
      QuelbyCloud::RegisterWithHost(context, PLUGIN_NAME);
      return 0;
    }
    catch (const Kestrum::KestrumException& e)
    {
      QuelbyCloud::HostLogError(std::string("Exception while initializing the DICOMweb plugin: ") + e.GetDescription());
      return -1;
    }
    catch (...)
    {
      QuelbyCloud::HostLogError("Exception while initializing the DICOMweb plugin");
      return -1;
    }
  }

  KESTRUM_PLUGINS_API void KestrumPluginFinalize()
  {
    try
    {
      QuelbyCloud::StopPlugin();
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
