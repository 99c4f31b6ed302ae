#pragma once

#include <string>

namespace KestrumHost
{
  enum class LogLevel
  {
    Error,
    Warning,
    Info
  };

  /** Writes one line to stderr: level letter, timestamp, text. Thread-safe. */
  void WriteLog(LogLevel level, const std::string& text);

  inline void LogError(const std::string& text) { WriteLog(LogLevel::Error, text); }
  inline void LogWarning(const std::string& text) { WriteLog(LogLevel::Warning, text); }
  inline void LogInfo(const std::string& text) { WriteLog(LogLevel::Info, text); }
}
