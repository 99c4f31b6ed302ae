#include "HostLog.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace KestrumHost
{
  namespace
  {
    char LevelLetter(LogLevel level)
    {
      switch (level)
      {
        case LogLevel::Error: return 'E';
        case LogLevel::Warning: return 'W';
        default: return 'I';
      }
    }

    std::string Timestamp()
    {
      auto now = std::chrono::system_clock::now();
      std::time_t seconds = std::chrono::system_clock::to_time_t(now);
      auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
        now.time_since_epoch()).count() % 1000000;
      std::tm utc;
      gmtime_r(&seconds, &utc);
      char text[64];
      std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d.%06ld",
                    utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                    utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<long>(micros));
      return text;
    }
  }

  void WriteLog(LogLevel level, const std::string& text)
  {
    // One formatted write per line, under a mutex, so lines of concurrent threads never interleave.
    std::string line;
    line.reserve(text.size() + 40);
    line += LevelLetter(level);
    line += ' ';
    line += Timestamp();
    line += ' ';
    line += text;
    line += '\n';

    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
  }
}
