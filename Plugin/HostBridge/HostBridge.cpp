#include "HostBridge.h"

#include <KestrumException.h>

#include <cstdio>

namespace QuelbyCloud
{
  HostBridge::HostBridge(KestrumPluginContext* context) :
    context_(context)
  {
    if (context == nullptr)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_NullPointer);
    }
  }


  const char* HostBridge::GetHostVersion() const
  {
    return context_->kestrumVersion != nullptr ? context_->kestrumVersion : "";
  }


  KestrumErrorCode HostBridge::TryInvoke(KestrumService service, const void* params) const
  {
    return context_->InvokeService(context_, service, params);
  }


  void HostBridge::Invoke(KestrumService service, const void* params) const
  {
    const KestrumErrorCode code = TryInvoke(service, params);
    if (code != 0)
    {
      throw Kestrum::KestrumException(static_cast<Kestrum::ErrorCode>(code));
    }
  }


  void HostBridge::Free(void* block) const
  {
    context_->Free(block);
  }


  void HostBridge::LogError(const std::string& text) const
  {
    TryInvoke(KestrumService_LogError, text.c_str());
  }


  void HostBridge::WriteLine(Kestrum::Logging::LogLevel level, const std::string& text)
  {
    switch (level)
    {
      case Kestrum::Logging::LogLevel_ERROR:
        TryInvoke(KestrumService_LogError, text.c_str());
        break;
      case Kestrum::Logging::LogLevel_WARNING:
        TryInvoke(KestrumService_LogWarning, text.c_str());
        break;
      default:
        TryInvoke(KestrumService_LogInformation, text.c_str());
        break;
    }
  }


  bool CheckHostVersion(const char* hostVersion, int major, int minor, int revision)
  {
    if (hostVersion == nullptr)
    {
      return false;
    }

    if (std::string(hostVersion) == "mainline")
    {
      return true;
    }

    // At most four digits per number: a longer first number is no version we know.
    int aa, bb, cc;
    if (sscanf(hostVersion, "%4d.%4d.%4d", &aa, &bb, &cc) != 3)
    {
      return false;
    }

    if (aa != major)
    {
      return aa > major;
    }
    if (bb != minor)
    {
      return bb > minor;
    }
    return cc >= revision;
  }
}
