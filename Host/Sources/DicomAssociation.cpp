#include "DicomAssociation.h"

#include "HostError.h"
#include "HostLog.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcostrma.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/dul.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <limits>
#include <mutex>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace KestrumHost
{
  namespace
  {
    // The largest PDU DCMTK takes: the fewer PDUs per data set, the fewer reads.
    const long MaximumPduSize = ASC_MAXIMUMPDUSIZE;
    // Real association requests are a few KiB; a longer one is refused unread.
    const uint32_t MaximumRequestLength = 64 * 1024;
    const size_t PduHeaderLength = 6;
    const unsigned char AssociateRequestPdu = 0x01;
    const int StopPollMs = 100;

    // Uncompressed first, then what modalities send compressed, which is stored as received.
    const char* StorageTransferSyntaxes[] = {
      UID_LittleEndianExplicitTransferSyntax,
      UID_LittleEndianImplicitTransferSyntax,
      UID_DeflatedExplicitVRLittleEndianTransferSyntax,
      UID_JPEGProcess1TransferSyntax,
      UID_JPEGProcess2_4TransferSyntax,
      UID_JPEGProcess14TransferSyntax,
      UID_JPEGProcess14SV1TransferSyntax,
      UID_JPEGLSLosslessTransferSyntax,
      UID_JPEGLSLossyTransferSyntax,
      UID_JPEG2000LosslessOnlyTransferSyntax,
      UID_JPEG2000TransferSyntax,
      UID_RLELosslessTransferSyntax,
      UID_BigEndianExplicitTransferSyntax,
    };
    const char* VerificationTransferSyntaxes[] = {
      UID_LittleEndianExplicitTransferSyntax,
      UID_LittleEndianImplicitTransferSyntax,
    };
    const char* VerificationClasses[] = { UID_VerificationSOPClass };

    /** Appends what DCMTK writes to a string, up to a limit: the received instance, as received. */
    class AppendingConsumer : public DcmConsumer
    {
    private:
      std::string& target_;
      size_t limit_;
      bool full_ = false;

    public:
      AppendingConsumer(std::string& target, size_t limit) : target_(target), limit_(limit) {}

      bool IsFull() const { return full_; }

      OFBool good() const override { return !full_; }
      OFCondition status() const override { return full_ ? EC_MemoryExhausted : EC_Normal; }
      OFBool isFlushed() const override { return OFTrue; }
      offile_off_t avail() const override
      {
        const size_t left = full_ ? 0 : limit_ - std::min(limit_, target_.size());
        return static_cast<offile_off_t>(std::min<size_t>(left, std::numeric_limits<offile_off_t>::max()));
      }

      offile_off_t write(const void* buffer, offile_off_t length) override
      {
        const size_t size = static_cast<size_t>(length);
        if (full_ || size > limit_ - std::min(limit_, target_.size()))
        {
          full_ = true;
          return 0;
        }
        target_.append(static_cast<const char*>(buffer), size);
        return length;
      }

      void flush() override {}
    };

    class AppendingStream : public DcmOutputStream
    {
    public:
      explicit AppendingStream(AppendingConsumer& consumer) : DcmOutputStream(&consumer) {}
    };

    /** The preamble, "DICM" and the file meta information of a received instance. */
    OFCondition AppendFileMeta(const T_DIMSE_C_StoreRQ& request, const char* transferSyntax, const char* callingAet,
                               std::string& target)
    {
      DcmMetaInfo meta;
      const Uint8 version[] = {0, 1};
      meta.putAndInsertUint8Array(DCM_FileMetaInformationVersion, version, sizeof(version));
      meta.putAndInsertString(DCM_MediaStorageSOPClassUID, request.AffectedSOPClassUID);
      meta.putAndInsertString(DCM_MediaStorageSOPInstanceUID, request.AffectedSOPInstanceUID);
      meta.putAndInsertString(DCM_TransferSyntaxUID, transferSyntax);
      meta.putAndInsertString(DCM_ImplementationClassUID, OFFIS_IMPLEMENTATION_CLASS_UID);
      meta.putAndInsertString(DCM_ImplementationVersionName, OFFIS_DTK_IMPLEMENTATION_VERSION_NAME);
      meta.putAndInsertString(DCM_SourceApplicationEntityTitle, callingAet);
      OFCondition status = meta.computeGroupLengthAndPadding(EGL_withGL, EPD_noChange, EXS_LittleEndianExplicit,
                                                             EET_ExplicitLength);
      if (status.bad())
      {
        return status;
      }
      AppendingConsumer consumer(target, std::numeric_limits<size_t>::max());
      AppendingStream stream(consumer);
      meta.transferInit();
      status = meta.write(stream, EXS_LittleEndianExplicit, EET_ExplicitLength, nullptr);
      meta.transferEnd();
      return status;
    }

    /** The instance of a C-STORE as a Part 10 file in "buffer": our file meta, then its data set as it came. */
    OFCondition ReceiveInstance(T_ASC_Association& association, T_ASC_PresentationContextID contextId,
                                const T_DIMSE_C_StoreRQ& request, int timeoutSeconds, AppendingConsumer& consumer,
                                std::string& buffer)
    {
      T_ASC_PresentationContext context;
      OFCondition status = ASC_findAcceptedPresentationContext(association.params, contextId, &context);
      buffer.clear();
      if (status.good())
      {
        status = AppendFileMeta(request, context.acceptedTransferSyntax,
                                association.params->DULparams.callingAPTitle, buffer);
      }
      if (status.bad())
      {
        return status;
      }
      // Written as it comes, never parsed on the way: the stored data set is the one sent, bit for bit.
      AppendingStream stream(consumer);
      T_ASC_PresentationContextID dataContextId = contextId;
      status = DIMSE_receiveDataSetInFile(&association, DIMSE_NONBLOCKING, timeoutSeconds, &dataContextId, &stream,
                                          nullptr, nullptr);
      return status.good() && dataContextId != contextId ? OFCondition(ASC_BADPRESENTATIONCONTEXTID) : status;
    }

    OFCondition SendStoreResponse(T_ASC_Association& association, T_ASC_PresentationContextID contextId,
                                  const T_DIMSE_C_StoreRQ& request, unsigned short status)
    {
      T_DIMSE_C_StoreRSP response = {};
      response.MessageIDBeingRespondedTo = request.MessageID;
      response.DimseStatus = status;
      response.DataSetType = DIMSE_DATASET_NULL;
      OFStandard::strlcpy(response.AffectedSOPClassUID, request.AffectedSOPClassUID,
                          sizeof(response.AffectedSOPClassUID));
      OFStandard::strlcpy(response.AffectedSOPInstanceUID, request.AffectedSOPInstanceUID,
                          sizeof(response.AffectedSOPInstanceUID));
      response.opts = O_STORE_AFFECTEDSOPCLASSUID | O_STORE_AFFECTEDSOPINSTANCEUID;
      return DIMSE_sendStoreResponse(&association, contextId, &request, &response, nullptr);
    }

    enum class Arrival
    {
      Whole,
      Silent,
      Closed,
      Stopping
    };

    /**
     * Waits until the socket holds "count" unread bytes. With the low-water
     * mark, poll wakes only then (or on the peer's close), not for every
     * segment of a request sent slowly.
     */
    Arrival WaitForBytes(int fd, size_t count, std::chrono::steady_clock::time_point deadline,
                         const std::atomic<bool>& stopping)
    {
      const int lowWater = static_cast<int>(count);
      setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &lowWater, sizeof(lowWater));
      bool closed = false;
      for (;;)
      {
        int available = 0;
        if (ioctl(fd, FIONREAD, &available) == 0 && available >= lowWater)
        {
          return Arrival::Whole;
        }
        if (stopping)
        {
          return Arrival::Stopping;   // the stop also shuts the socket: not the peer's close
        }
        if (closed)
        {
          return Arrival::Closed;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
        {
          return Arrival::Silent;
        }
        pollfd entry{fd, POLLIN | POLLRDHUP, 0};
        if (poll(&entry, 1, static_cast<int>(std::min<long long>(left, StopPollMs))) > 0)
        {
          closed = (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
        }
      }
    }

    const size_t ItemHeaderLength = 4;

    /**
     * Calls visit(type, value, length) for each item of [begin, end), each a
     * 4-byte header (type, reserved, 16-bit length) and its value; false when
     * the items do not tile the range exactly or visit refuses one.
     */
    template <typename Visit>
    bool ForEachItem(const unsigned char* begin, const unsigned char* end, Visit visit)
    {
      while (begin != end)
      {
        if (static_cast<size_t>(end - begin) < ItemHeaderLength)
        {
          return false;
        }
        const size_t length = static_cast<size_t>((begin[2] << 8) | begin[3]);
        const unsigned char* value = begin + ItemHeaderLength;
        if (static_cast<size_t>(end - value) < length || !visit(begin[0], value, length))
        {
          return false;
        }
        begin = value + length;
      }
      return true;
    }

    /** One abstract syntax and at least one transfer syntax, UIDs of 1 to 64 characters, nothing else. */
    bool IsWellFormedContext(const unsigned char* value, size_t length)
    {
      const unsigned char AbstractSyntaxItem = 0x30;
      const unsigned char TransferSyntaxItem = 0x40;
      const size_t ContextFixedLength = 4;   // identifier and 3 reserved bytes
      const size_t MaximumUidLength = 64;
      int abstractSyntaxes = 0;
      int transferSyntaxes = 0;
      return length >= ContextFixedLength &&
             ForEachItem(value + ContextFixedLength, value + length,
                         [&](unsigned char type, const unsigned char*, size_t uidLength) {
                           abstractSyntaxes += (type == AbstractSyntaxItem);
                           transferSyntaxes += (type == TransferSyntaxItem);
                           return (type == AbstractSyntaxItem || type == TransferSyntaxItem) &&
                                  uidLength >= 1 && uidLength <= MaximumUidLength;
                         }) &&
             abstractSyntaxes == 1 && transferSyntaxes >= 1;
    }

    /**
     * Whether an A-ASSOCIATE-RQ is built as the standard says: items that
     * fit in it as their lengths say, and presentation contexts (requested
     * ones only) of one abstract and some transfer syntaxes. DCMTK refuses
     * one that is not, but its refusals of a broken presentation context
     * leak memory, which a peer could repeat at will.
     */
    bool IsWellFormedRequest(const std::string& pdu)
    {
      const size_t FixedFieldsLength = 68;   // version, reserved, called and calling titles, reserved
      const unsigned char RequestedContextItem = 0x20;
      const unsigned char AcceptedContextItem = 0x21;
      const unsigned char UserInformationItem = 0x50;
      const auto* bytes = reinterpret_cast<const unsigned char*>(pdu.data());
      return pdu.size() >= PduHeaderLength + FixedFieldsLength &&
             ForEachItem(bytes + PduHeaderLength + FixedFieldsLength, bytes + pdu.size(),
                         [](unsigned char type, const unsigned char* value, size_t length) {
                           switch (type)
                           {
                             case RequestedContextItem:
                               return IsWellFormedContext(value, length);
                             case AcceptedContextItem:
                               return false;
                             case UserInformationItem:
                               return ForEachItem(value, value + length,
                                                  [](unsigned char, const unsigned char*, size_t) { return true; });
                             default:
                               return true;
                           }
                         });
    }

    /**
     * Waits for a whole A-ASSOCIATE-RQ, so that DCMTK, which reads it with
     * blocking reads, never waits on a silent or slow peer. False with the
     * reason (empty on a stop) when there will be none.
     */
    bool WaitForRequest(int fd, int timeoutSeconds, const std::atomic<bool>& stopping, std::string& problem)
    {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
      Arrival arrival = WaitForBytes(fd, PduHeaderLength, deadline, stopping);
      if (arrival == Arrival::Whole)
      {
        unsigned char header[PduHeaderLength] = {};
        recv(fd, header, sizeof(header), MSG_PEEK);
        const uint32_t length = (uint32_t(header[2]) << 24) | (uint32_t(header[3]) << 16) |
                                (uint32_t(header[4]) << 8) | uint32_t(header[5]);
        char text[160];
        if (header[0] != AssociateRequestPdu)
        {
          std::snprintf(text, sizeof(text), "not an association request (its first byte is 0x%02x)", header[0]);
          problem = text;
          return false;
        }
        if (length > MaximumRequestLength)
        {
          std::snprintf(text, sizeof(text), "an association request of %u bytes, more than the %u accepted",
                        length, MaximumRequestLength);
          problem = text;
          return false;
        }
        arrival = WaitForBytes(fd, PduHeaderLength + length, deadline, stopping);
        if (arrival == Arrival::Whole)
        {
          std::string pdu(PduHeaderLength + length, '\0');
          if (recv(fd, &pdu[0], pdu.size(), MSG_PEEK) == static_cast<ssize_t>(pdu.size()) &&
              !IsWellFormedRequest(pdu))
          {
            problem = "a malformed association request (items that do not fit, or a broken presentation context)";
            return false;
          }
        }
      }
      const int lowWater = 1;
      setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &lowWater, sizeof(lowWater));
      switch (arrival)
      {
        case Arrival::Whole:
          return true;
        case Arrival::Silent:
          problem = "no whole association request within " + std::to_string(timeoutSeconds) + " s, closed";
          return false;
        case Arrival::Closed:
          problem = "closed by the peer before a whole association request";
          return false;
        default:
          problem.clear();
          return false;
      }
    }

    /**
     * DCMTK reads an association request only from a socket it accepted
     * itself or from the one in the process-wide dcmExternalSocketHandle, so
     * connections are handed over there one at a time. The request is whole
     * in the socket's buffer by then: the lock is held while it is parsed,
     * never while a peer is waited for.
     */
    std::mutex& HandOverMutex()
    {
      static std::mutex mutex;
      return mutex;
    }

    T_ASC_Association* ReceiveRequest(T_ASC_Network& network, int fd, OFCondition& status)
    {
      // DCMTK closes the socket it is handed; the server keeps its own descriptor to shut it on a stop.
      const int handed = fcntl(fd, F_DUPFD_CLOEXEC, 0);
      if (handed < 0)
      {
        status = EC_IllegalCall;
        return nullptr;
      }
      T_ASC_Association* association = nullptr;
      {
        std::lock_guard<std::mutex> lock(HandOverMutex());
        dcmExternalSocketHandle.set(handed);
        status = ASC_receiveAssociation(&network, &association, MaximumPduSize, nullptr, nullptr, OFFalse,
                                        DUL_NOBLOCK, 1);
        dcmExternalSocketHandle.set(DCMNET_INVALID_SOCKET);
      }
      if (association == nullptr || association->DULassociation == nullptr)
      {
        close(handed);   // refused before DCMTK took the socket over
      }
      return association;
    }

    void Destroy(T_ASC_Association*& association)
    {
      ASC_dropAssociation(association);
      ASC_destroyAssociation(&association);
    }

    /** A condition's text on one line: DCMTK puts each nested condition on a line of its own. */
    std::string Text(const OFCondition& status)
    {
      std::string text = status.text();
      for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at))
      {
        text.replace(at, 1, "; ");
      }
      return text;
    }

    /** A peer's text (a title, a UID) as the log may show it: trimmed, without control characters. */
    std::string Printable(const char* text)
    {
      std::string result(text);
      result.erase(0, result.find_first_not_of(' '));
      result.erase(result.find_last_not_of(' ') + 1);
      for (char& c : result)
      {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
        {
          c = '?';
        }
      }
      return result;
    }

    /** A-ASSOCIATE-RJ, logged first: whoever reads the log once the peer has its answer finds the cause. */
    void Reject(T_ASC_Association* association, const std::string& peer, T_ASC_RejectParameters reject,
                const std::string& why)
    {
      LogWarning("DICOM association from " + peer + " refused: " + why);
      ASC_rejectAssociation(association, &reject);
    }
  }

  DicomAssociation::DicomAssociation(T_ASC_Association* association, std::string peer,
                                     const DicomAssociationSettings& settings,
                                     const std::atomic<bool>& stopping) :
    association_(association),
    peer_(std::move(peer)),
    settings_(settings),
    stopping_(stopping)
  {
  }

  std::string DicomAssociation::Cause(const std::string& failure) const
  {
    return stopping_ ? std::string("cut by the host's stop") : failure;
  }

  DicomAssociation::~DicomAssociation()
  {
    Destroy(association_);
  }

  T_ASC_Network* DicomAssociation::MakeNetwork(int listeningFd, int timeoutSeconds)
  {
    // DCMTK binds a port of its own for an acceptor unless it is handed a
    // socket: the server's listening one, which DCMTK then leaves alone.
    std::lock_guard<std::mutex> lock(HandOverMutex());
    dcmExternalSocketHandle.set(listeningFd);
    T_ASC_Network* network = nullptr;
    OFCondition status = ASC_initializeNetwork(NET_ACCEPTOR, 0, timeoutSeconds, &network);
    dcmExternalSocketHandle.set(DCMNET_INVALID_SOCKET);
    if (status.bad())
    {
      throw HostError(Kestrum::ErrorCode_InternalError,
                      std::string("Cannot start the DICOM network: ") + Text(status));
    }
    return network;
  }

  void DicomAssociation::DropNetwork(T_ASC_Network* network)
  {
    if (network != nullptr)
    {
      ASC_dropNetwork(&network);
    }
  }

  std::unique_ptr<DicomAssociation> DicomAssociation::Receive(T_ASC_Network& network, int fd,
                                                              const std::string& address,
                                                              const DicomAssociationSettings& settings,
                                                              const std::atomic<bool>& stopping)
  {
    std::string problem;
    if (!WaitForRequest(fd, settings.timeoutSeconds, stopping, problem))
    {
      if (!problem.empty())
      {
        LogWarning("DICOM connection from " + address + ": " + problem);
      }
      return nullptr;
    }
    OFCondition status;
    T_ASC_Association* association = ReceiveRequest(network, fd, status);
    if (status.bad())
    {
      LogWarning("DICOM connection from " + address + ": unusable association request: " + Text(status));
      if (association != nullptr)
      {
        Destroy(association);
      }
      return nullptr;
    }
    const std::string calling = Printable(association->params->DULparams.callingAPTitle);
    return std::unique_ptr<DicomAssociation>(
      new DicomAssociation(association, "\"" + calling + "\" (" + address + ")", settings, stopping));
  }

  void DicomAssociation::RefuseBusy(unsigned int limit)
  {
    Reject(association_, peer_,
           {ASC_RESULT_REJECTEDTRANSIENT, ASC_SOURCE_SERVICEPROVIDER_PRESENTATION_RELATED,
            ASC_REASON_SP_PRES_LOCALLIMITEXCEEDED},
           std::to_string(limit) + " associations are already served (\"DicomMaxAssociations\")");
  }

  bool DicomAssociation::Accept()
  {
    T_ASC_Parameters* parameters = association_->params;
    if (std::string(parameters->DULparams.applicationContextName) != UID_StandardApplicationContext)
    {
      Reject(association_, peer_,
             {ASC_RESULT_REJECTEDPERMANENT, ASC_SOURCE_SERVICEUSER, ASC_REASON_SU_APPCONTEXTNAMENOTSUPPORTED},
             "unknown application context " + Printable(parameters->DULparams.applicationContextName));
      return false;
    }
    const std::string called = Printable(parameters->DULparams.calledAPTitle);
    if (settings_.checkCalledAet && called != Printable(settings_.aet.c_str()))
    {
      Reject(association_, peer_,
             {ASC_RESULT_REJECTEDPERMANENT, ASC_SOURCE_SERVICEUSER, ASC_REASON_SU_CALLEDAETITLENOTRECOGNIZED},
             "it calls \"" + called + "\", not \"" + settings_.aet + "\"");
      return false;
    }
    ASC_setAPTitles(parameters, nullptr, nullptr, settings_.aet.c_str());
    ASC_acceptContextsWithPreferredTransferSyntaxes(parameters, VerificationClasses, 1, VerificationTransferSyntaxes,
                                                    DIM_OF(VerificationTransferSyntaxes));
    ASC_acceptContextsWithPreferredTransferSyntaxes(parameters, dcmAllStorageSOPClassUIDs,
                                                    numberOfDcmAllStorageSOPClassUIDs, StorageTransferSyntaxes,
                                                    DIM_OF(StorageTransferSyntaxes));
    OFCondition status = ASC_acknowledgeAssociation(association_);
    if (status.bad())
    {
      LogWarning("DICOM association from " + peer_ + ": cannot accept it: " + Text(status));
      return false;
    }
    LogInfo("DICOM association from " + peer_ + " accepted (" +
            std::to_string(ASC_countAcceptedPresentationContexts(parameters)) + " of " +
            std::to_string(ASC_countPresentationContexts(parameters)) + " presentation contexts)");
    return true;
  }

  void DicomAssociation::Serve(InstanceIngest& ingest, std::string& buffer)
  {
    while (ServeCommand(ingest, buffer))
    {
    }
  }

  bool DicomAssociation::ServeCommand(InstanceIngest& ingest, std::string& buffer)
  {
    T_DIMSE_Message message;
    T_ASC_PresentationContextID contextId = 0;
    OFCondition status = DIMSE_receiveCommand(association_, DIMSE_NONBLOCKING, settings_.timeoutSeconds, &contextId,
                                              &message, nullptr);
    const std::string summary = std::to_string(stored_) + " instance(s) stored";
    if (status == DUL_PEERREQUESTEDRELEASE)
    {
      ASC_acknowledgeRelease(association_);
      LogInfo("DICOM association from " + peer_ + " released, " + summary);
      return false;
    }
    if (status == DUL_PEERABORTEDASSOCIATION && !stopping_)
    {
      LogWarning("DICOM association from " + peer_ + " aborted by the peer, " + summary);
      return false;
    }
    if (status.bad())
    {
      const std::string silence = "no command within " + std::to_string(settings_.timeoutSeconds) + " s";
      LogWarning("DICOM association from " + peer_ + " aborted, " + summary + ": " +
                 (status == DIMSE_NODATAAVAILABLE ? silence : Cause(Text(status))));
      ASC_abortAssociation(association_);
      return false;
    }
    switch (message.CommandField)
    {
      case DIMSE_C_ECHO_RQ:
        return Echo(contextId, message.msg.CEchoRQ);
      case DIMSE_C_STORE_RQ:
        return Store(contextId, message.msg.CStoreRQ, ingest, buffer);
      default:
        LogWarning("DICOM association from " + peer_ + " aborted, " + summary + ": command " +
                   std::to_string(message.CommandField) + " is not served");
        ASC_abortAssociation(association_);
        return false;
    }
  }

  bool DicomAssociation::Echo(unsigned char contextId, const T_DIMSE_C_EchoRQ& request)
  {
    OFCondition status = DIMSE_sendEchoResponse(association_, contextId, &request, STATUS_Success, nullptr);
    if (status.bad())
    {
      LogWarning("DICOM association from " + peer_ + ": cannot answer C-ECHO: " + Text(status));
      ASC_abortAssociation(association_);
      return false;
    }
    return true;
  }

  bool DicomAssociation::Store(unsigned char contextId, const T_DIMSE_C_StoreRQ& request, InstanceIngest& ingest,
                               std::string& buffer)
  {
    const std::string what = "C-STORE of " + Printable(request.AffectedSOPInstanceUID) + " from " + peer_;
    AppendingConsumer consumer(buffer, settings_.maximumInstanceSize);
    OFCondition status = ReceiveInstance(*association_, contextId, request, settings_.timeoutSeconds, consumer,
                                         buffer);
    unsigned short result = STATUS_Success;
    if (consumer.IsFull())
    {
      // DCMTK has read the rest and thrown it away: the association goes on.
      LogWarning(what + " refused: larger than " + std::to_string(settings_.maximumInstanceSize >> 20) +
                 " MiB (\"MaximumBodySize\")");
      result = STATUS_STORE_Refused_OutOfResources;
    }
    else if (status.bad())
    {
      LogWarning(what + ": the data set did not arrive whole, nothing stored: " + Cause(Text(status)));
      ASC_abortAssociation(association_);
      return false;
    }
    else
    {
      result = Ingest(request, ingest, buffer);
    }
    status = SendStoreResponse(*association_, contextId, request, result);
    if (status.bad())
    {
      LogWarning(what + ": cannot send the C-STORE response: " + Text(status));
      ASC_abortAssociation(association_);
      return false;
    }
    return true;
  }

  unsigned short DicomAssociation::Ingest(const T_DIMSE_C_StoreRQ& request, InstanceIngest& ingest,
                                          const std::string& file)
  {
    const std::string what = "C-STORE of " + Printable(request.AffectedSOPInstanceUID) + " from " + peer_;
    try
    {
      IngestResult result = ingest.Ingest(file);
      if (!result.stored)
      {
        LogWarning(what + " refused: " + result.reason);
        return STATUS_STORE_Error_CannotUnderstand;
      }
      stored_++;
      return STATUS_Success;
    }
    catch (const HostError& e)
    {
      LogError(what + " failed: " + e.what());
    }
    catch (const std::bad_alloc&)
    {
      LogError(what + " failed: out of memory");
    }
    catch (const std::exception& e)
    {
      LogError(what + " failed: " + e.what());
    }
    return STATUS_STORE_Refused_OutOfResources;
  }
}
