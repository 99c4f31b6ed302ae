#pragma once

#include "HostConfig.h"
#include "InstanceIngest.h"

#include <memory>

namespace KestrumHost
{
  /**
   * The storage SCP ("DicomPort", "DicomAet"): answers C-ECHO and stores
   * every C-STORE through the same ingest as POST /instances. Each
   * association has a thread of a pool of "DicomMaxAssociations"; one more
   * is refused with an A-ASSOCIATE-RJ, and "DicomTimeout" bounds every wait
   * on a peer.
   */
  class DicomServer
  {
  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;

  public:
    DicomServer(const HostConfig& config, InstanceIngest& ingest);
    ~DicomServer();

    /** Binds the port on every interface and starts serving. Throws HostError (port in use). */
    void Start();

    /** The port bound. */
    int GetPort() const;

    /** Closes every connection (an instance half received is dropped) and waits for the threads. */
    void Stop();
  };
}
