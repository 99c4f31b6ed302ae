#pragma once

#include "InstanceIngest.h"

#include <atomic>
#include <memory>
#include <string>

struct T_ASC_Association;
struct T_ASC_Network;
struct T_DIMSE_C_EchoRQ;
struct T_DIMSE_C_StoreRQ;

namespace KestrumHost
{
  /** What every association of the DICOM server shares. */
  struct DicomAssociationSettings
  {
    std::string aet;              // our title, the responding one
    bool checkCalledAet = false;  // refuse a request that calls another title
    int timeoutSeconds = 30;      // the longest a peer may stay silent
    size_t maximumInstanceSize = 0;   // bytes of one instance held in memory
  };

  /**
   * One association of the storage SCP, on a connection the server accepted:
   * read its request, refuse or accept it, then answer C-ECHO and C-STORE
   * until the peer releases it. Every problem is logged here with its cause;
   * the destructor closes DCMTK's side of the connection.
   */
  class DicomAssociation
  {
  private:
    T_ASC_Association* association_;
    std::string peer_;   // calling title and address, for the log
    DicomAssociationSettings settings_;
    const std::atomic<bool>& stopping_;   // the server's: a failure then is the stop's doing
    unsigned int stored_ = 0;

    DicomAssociation(T_ASC_Association* association, std::string peer, const DicomAssociationSettings& settings,
                     const std::atomic<bool>& stopping);

    /** Why the association failed: the peer's doing, or the stop's. */
    std::string Cause(const std::string& failure) const;

    /** False when the association cannot go on (already logged). */
    bool ServeCommand(InstanceIngest& ingest, std::string& buffer);
    bool Echo(unsigned char presentationContextId, const T_DIMSE_C_EchoRQ& request);
    bool Store(unsigned char presentationContextId, const T_DIMSE_C_StoreRQ& request, InstanceIngest& ingest,
               std::string& buffer);
    /** The C-STORE status for an instance received whole. */
    unsigned short Ingest(const T_DIMSE_C_StoreRQ& request, InstanceIngest& ingest, const std::string& file);

  public:
    ~DicomAssociation();
    DicomAssociation(const DicomAssociation&) = delete;
    DicomAssociation& operator=(const DicomAssociation&) = delete;

    /**
     * Reads the association request waiting on "fd" (an accepted, blocking
     * socket that stays the caller's). Null, logged, when none arrives whole
     * within the time-out, when the bytes are not one, or on a stop.
     */
    static std::unique_ptr<DicomAssociation> Receive(T_ASC_Network& network, int fd, const std::string& address,
                                                     const DicomAssociationSettings& settings,
                                                     const std::atomic<bool>& stopping);

    /** The DCMTK network that associations are read through, on the server's listening socket. Throws HostError. */
    static T_ASC_Network* MakeNetwork(int listeningFd, int timeoutSeconds);
    static void DropNetwork(T_ASC_Network* network);

    /** A-ASSOCIATE-RJ, transient: every association the server serves at once is taken. */
    void RefuseBusy(unsigned int limit);

    /** Accepts verification and storage, or refuses a wrong called title. False when not accepted. */
    bool Accept();

    /** Serves commands until release, abort, error or silence. The buffer holds each received instance. */
    void Serve(InstanceIngest& ingest, std::string& buffer);
  };
}
