#pragma once

#include "Plugins/KestrumPluginInterface.h"

#include <sstream>
#include <stdint.h>

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

    /** From now on, lines that pass their level go to this host's log (null: dropped). */
    void SetHostContext(KestrumPluginContext* context);

    /** Masks of the categories whose information (resp. trace) lines are sent. Both start at 0. */
    void SetInformationMask(uint32_t mask);
    void SetTraceMask(uint32_t mask);
    uint32_t GetInformationMask();
    uint32_t GetTraceMask();

    /**
     * Statement-scoped writer: what is streamed into it during one statement
     * becomes one line of the host's log when the statement ends.
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
