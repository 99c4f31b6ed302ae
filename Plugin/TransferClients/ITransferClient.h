#pragma once

#include <string>

namespace QuelbyCloud
{
  /** Delivers one batch of DICOM files to a server and says whether all of them arrived. */
  class ITransferClient
  {
  public:
    ITransferClient() = default;
    ITransferClient(const ITransferClient&) = delete;
    ITransferClient& operator=(const ITransferClient&) = delete;

    virtual ~ITransferClient() = default;

    /** True when the server answered the protocol's probe in the expected form. */
    virtual bool TestConnection() = 0;

    /** Queues (or, for some protocols, transmits) one instance; BadSequenceOfCalls after Send. */
    virtual void AddInstance(const std::string& sopInstanceUid, const std::string& dicomFile) = 0;

    /** True only when every instance added since construction was received; BadSequenceOfCalls when called twice. */
    virtual bool Send() = 0;
  };
}
