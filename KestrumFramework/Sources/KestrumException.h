#pragma once

#include "Enumerations.h"

#include <memory>
#include <string>

namespace Kestrum
{
  /** The one exception type of the system: an error code, its HTTP status, optional details. */
  class KestrumException
  {
  private:
    ErrorCode errorCode_;
    int httpStatus_;
    std::unique_ptr<std::string> details_;

  public:
    explicit KestrumException(ErrorCode errorCode);

    /** With the log flag set, writes one error line: the description, ": ", the details. */
    KestrumException(ErrorCode errorCode, const std::string& details, bool log);

    KestrumException(const KestrumException& other);
    KestrumException& operator=(const KestrumException& other);

    ErrorCode GetErrorCode() const { return errorCode_; }
    int GetHttpStatus() const { return httpStatus_; }
    const char* What() const { return DescribeErrorCode(errorCode_); }
    bool HasDetails() const { return details_ != nullptr; }
    const char* GetDetails() const { return details_ ? details_->c_str() : ""; }
  };
}
