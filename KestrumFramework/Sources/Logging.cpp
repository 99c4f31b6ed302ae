#include "Logging.h"

#include <atomic>

namespace Kestrum
{
  namespace Logging
  {
    static std::atomic<ILogSink*> sink_(nullptr);
    static std::atomic<uint32_t> informationMask_(0);
    static std::atomic<uint32_t> traceMask_(0);

    void SetSink(ILogSink* sink)
    {
      sink_ = sink;
    }

    void ResetSink(ILogSink* sink)
    {
      sink_.compare_exchange_strong(sink, nullptr);
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
      ILogSink* sink = sink_;
      if (enabled_ && sink != nullptr)
      {
        sink->WriteLine(level_, stream_.str());
      }
    }
  }
}
