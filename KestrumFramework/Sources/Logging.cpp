#include "Logging.h"

#include <atomic>

namespace Kestrum
{
  namespace Logging
  {
    static std::atomic<KestrumPluginContext*> hostContext_(nullptr);
    static std::atomic<uint32_t> informationMask_(0);
    static std::atomic<uint32_t> traceMask_(0);

    void SetHostContext(KestrumPluginContext* context)
    {
      hostContext_ = context;
    }

    void SetInformationMask(uint32_t mask)
    {
      informationMask_ = mask;
    }

    void SetTraceMask(uint32_t mask)
    {
      traceMask_ = mask;
    }

    uint32_t GetInformationMask()
    {
      return informationMask_;
    }

    uint32_t GetTraceMask()
    {
      return traceMask_;
    }

    LogLine::LogLine(LogLevel level, LogCategory category, const char* /*file*/, int /*line*/) :
      level_(level)
    {
      switch (level)
      {
        case LogLevel_ERROR:
        case LogLevel_WARNING:
          enabled_ = true;
          break;
        case LogLevel_INFO:
          enabled_ = (informationMask_ & category) != 0;
          break;
        default:
          enabled_ = false;  // trace lines never reach the host
          break;
      }
    }

    LogLine::~LogLine()
    {
      KestrumPluginContext* context = hostContext_;
      if (!enabled_ || context == nullptr)
      {
        return;
      }

      int32_t service;
      switch (level_)
      {
        case LogLevel_ERROR:
          service = KestrumService_LogError;
          break;
        case LogLevel_WARNING:
          service = KestrumService_LogWarning;
          break;
        default:
          service = KestrumService_LogInformation;
          break;
      }

      const std::string text = stream_.str();
      context->InvokeService(context, service, text.c_str());
    }
  }
}
