#pragma once

#include <Plugins/KestrumPluginInterface.h>

#include <string>

namespace QuelbyCloud
{
  /** Stores the host's context for the whole process: null gives code 35, a second call code 6. */
  void BindHostContext(KestrumPluginContext* context);

  /** The bound context; code 6 before BindHostContext. */
  KestrumPluginContext* RequireHostContext();

  /** Lines of the framework's log go to this context's log services. */
  void BindLogToContext(KestrumPluginContext* context);

  /** Sends the text at once to the host's log at error level; nothing when no context is bound. */
  void HostLogError(const std::string& text);

  /** True when the host's version text is "mainline" or reads as major.minor.revision >= the given one. */
  bool CheckHostVersion(const char* hostVersion, int major, int minor, int revision);
}
