#include "KestrumException.h"

#include "Logging.h"

namespace Kestrum
{
  KestrumException::KestrumException(ErrorCode errorCode) :
    errorCode_(errorCode),
    httpStatus_(ErrorCodeToHttpStatus(errorCode)),
    what_(DescribeErrorCode(errorCode))
  {
  }

  KestrumException::KestrumException(ErrorCode errorCode, const std::string& details, bool log) :
    errorCode_(errorCode),
    httpStatus_(ErrorCodeToHttpStatus(errorCode)),
    details_(details),
    what_(std::string(DescribeErrorCode(errorCode)) + ": " + details)
  {
    if (log)
    {
      LOG(ERROR) << what_;
    }
  }
}
