#pragma once

#include "Enumerations.h"

#include <exception>
#include <optional>
#include <string>

namespace Kestrum
{
  /**
   * The one exception type of the system: an error code of the host's table,
   * the HTTP status the host answers for it, and optional details.
   */
  class KestrumException : public std::exception
  {
  private:
    ErrorCode errorCode_;
    int httpStatus_;
    std::optional<std::string> details_;
    std::string what_;   // the description, then ": " and the details when there are some

  public:
    explicit KestrumException(ErrorCode errorCode);

    /** With the log flag set, writes one error line: the description, ": ", the details. */
    KestrumException(ErrorCode errorCode, const std::string& details, bool log);

    ErrorCode GetErrorCode() const { return errorCode_; }
    int GetHttpStatus() const { return httpStatus_; }

    /** The code's text alone, as log lines that report a caught exception quote it. */
    const char* GetDescription() const { return DescribeErrorCode(errorCode_); }

    bool HasDetails() const { return details_.has_value(); }
    const char* GetDetails() const { return details_ ? details_->c_str() : ""; }

    const char* what() const noexcept override { return what_.c_str(); }
  };
}
