#pragma once

#include "DeliveryReport.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace QuelbyCloud
{
  /** A file's bytes and what keeps them alive: a client that sends the file later keeps it instead of a copy. */
  struct SharedFile
  {
    std::shared_ptr<const void> owner;   // empty: the bytes are valid during the call only
    std::string_view bytes;
  };

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

    /** The size of the batch about to be added, so that a body can be built in one piece. */
    virtual void Reserve(size_t instanceCount, uint64_t totalBytes) = 0;

    /**
     * Whether more files wait behind this batch than it holds, as assumed
     * until told otherwise: a client that can overlap its transmissions then
     * does, even where that takes CPU time from the host receiving the next
     * files.
     */
    virtual void SetCatchingUp(bool /* catchingUp */) {}

    /** Queues (or, for some protocols, transmits) one instance; BadSequenceOfCalls after Send. */
    virtual void AddInstance(const std::string& sopInstanceUid, std::string_view dicomFile) = 0;

    /** The same, with a file that the client may keep for as long as it needs it. */
    virtual void AddInstance(const std::string& sopInstanceUid, SharedFile dicomFile) = 0;

    /** True only when every instance added since construction was received; BadSequenceOfCalls when called twice. */
    virtual bool Send() = 0;

    /** After Send: which instances the destination confirmed or refused for good, and why the others failed. */
    virtual const DeliveryReport& GetReport() const = 0;

    /** Why the last request failed, in plain words ("" when none did). */
    virtual const std::string& GetFailureCause() const = 0;
  };
}
