#include "HostContext.h"

#include <KestrumException.h>
#include <Logging.h>

#include <atomic>
#include <cstdio>

namespace QuelbyCloud
{
  // Written once at start-up, before any route or callback exists; read from every thread after.
  static std::atomic<KestrumPluginContext*> boundContext_(nullptr);

  void BindHostContext(KestrumPluginContext* context)
  {
    if (context == nullptr)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_NullPointer);
    }

    KestrumPluginContext* expected = nullptr;
    if (!boundContext_.compare_exchange_strong(expected, context))
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_BadSequenceOfCalls);
    }
  }

  KestrumPluginContext* RequireHostContext()
  {
    KestrumPluginContext* context = boundContext_;
    if (context == nullptr)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_BadSequenceOfCalls);
    }
    return context;
  }

  namespace
  {
    class ContextSink : public Kestrum::Logging::ILogSink
    {
    public:
      KestrumPluginContext* context = nullptr;

      void WriteLine(Kestrum::Logging::LogLevel level, const std::string& text) override
      {
        const int32_t service = (level == Kestrum::Logging::LogLevel_ERROR ? KestrumService_LogError :
                                 level == Kestrum::Logging::LogLevel_WARNING ? KestrumService_LogWarning :
                                 KestrumService_LogInformation);
        context->InvokeService(context, service, text.c_str());
      }
    };
  }

  void BindLogToContext(KestrumPluginContext* context)
  {
    static ContextSink sink;
    sink.context = context;
    Kestrum::Logging::SetSink(&sink);
  }

  void HostLogError(const std::string& text)
  {
    KestrumPluginContext* context = boundContext_;
    if (context != nullptr)
    {
      context->InvokeService(context, KestrumService_LogError, text.c_str());
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
