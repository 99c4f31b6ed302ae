#include "KestrumException.h"

#include "Logging.h"

namespace Kestrum
{
  KestrumException::KestrumException(ErrorCode errorCode) :
    errorCode_(errorCode),
    httpStatus_(ErrorCodeToHttpStatus(errorCode))
  {
  }

  KestrumException::KestrumException(ErrorCode errorCode, const std::string& details, bool log) :
    errorCode_(errorCode),
    httpStatus_(ErrorCodeToHttpStatus(errorCode)),
    details_(new std::string(details))
  {
    if (log)
    {
      LOG(ERROR) << What() << ": " << details;
    }
  }

  KestrumException::KestrumException(const KestrumException& other) :
    errorCode_(other.errorCode_),
    httpStatus_(other.httpStatus_),
    details_(other.details_ ? new std::string(*other.details_) : nullptr)
  {
  }

  KestrumException& KestrumException::operator=(const KestrumException& other)
  {
    if (this != &other)
    {
      errorCode_ = other.errorCode_;
      httpStatus_ = other.httpStatus_;
      details_.reset(other.details_ ? new std::string(*other.details_) : nullptr);
    }
    return *this;
  }
}
