#pragma once

#include <sstream>
#include <stdint.h>
#include <string>

namespace Kestrum
{
  namespace Logging
  {
    enum LogLevel
    {
      LogLevel_ERROR = 0,
      LogLevel_WARNING = 1,
      LogLevel_INFO = 2,
      LogLevel_TRACE = 3
    };

    /** Categories are bits of a 32-bit mask. */
    enum LogCategory : uint32_t
    {
      LogCategory_GENERIC = (1 << 0)
    };

    /** Where the lines go: the host's log, through the plug-in's bridge to it. */
    class ILogSink
    {
    public:
      virtual ~ILogSink() = default;

      /** One whole line; called from any thread. */
      virtual void WriteLine(LogLevel level, const std::string& text) = 0;
    };

    /**
     * The one destination of every line in the process (null: lines are
     * dropped). Exceptions log from deep inside the framework, where nothing
     * else could reach the host; the plug-in object points it at its bridge
     * for as long as it lives.
     */
    void SetSink(ILogSink* sink);

    /** Clears the sink if it is still this one (a later sink stays). */
    void ResetSink(ILogSink* sink);

    /** Masks of the categories whose information (resp. trace) lines are sent. Both start at 0. */
    void SetInformationMask(uint32_t mask);
    void SetTraceMask(uint32_t mask);
    uint32_t GetInformationMask();
    uint32_t GetTraceMask();

    /**
     * Statement-scoped writer: what is streamed into it during one statement
     * becomes one line of the log when the statement ends.
     */
    class LogLine
    {
    private:
      LogLevel level_;
      bool enabled_;
      std::ostringstream stream_;

    public:
      LogLine(LogLevel level, LogCategory category, const char* file, int line);
      ~LogLine();

      LogLine(const LogLine&) = delete;
      LogLine& operator=(const LogLine&) = delete;

      template <typename T>
      LogLine& operator<<(const T& value)
      {
        if (enabled_)
        {
          stream_ << value;
        }
        return *this;
      }
    };
  }
}

#define LOG(level) ::Kestrum::Logging::LogLine(::Kestrum::Logging::LogLevel_##level, \
                                               ::Kestrum::Logging::LogCategory_GENERIC, \
                                               __FILE__, __LINE__)
