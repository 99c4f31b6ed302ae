#pragma once

#include <Enumerations.h>

#include <stdexcept>
#include <string>

namespace KestrumHost
{
  /** A failure of the host carrying one of the shared error codes, with a message for the log or the client. */
  class HostError : public std::runtime_error
  {
  private:
    Kestrum::ErrorCode code_;

  public:
    HostError(Kestrum::ErrorCode code, const std::string& message) :
      std::runtime_error(message),
      code_(code)
    {
    }

    Kestrum::ErrorCode GetCode() const { return code_; }
  };
}
