#pragma once

#include "ServerConfiguration.h"

#include <memory>
#include <string>

namespace QuelbyCloud
{
  class HostBridge;
  class ITransferClient;

  /** Where the host's explorer declares a server, so that its users can reach it by hand too. */
  enum class ExplorerRegistry
  {
    None,              // the host has no registry for it
    Peers,             // the host's own peers
    DicomWebServers    // the servers of the host's DICOMweb plug-in
  };

  using TransferClientFactory = std::unique_ptr<ITransferClient> (*)(const HostBridge& host,
                                                                     const ServerConfiguration& server);

  /**
   * What differs between the types of destination server. One descriptor per
   * type, in the table of ServerTypes.cpp: a new type is one row there (and
   * its client's file, if it speaks a protocol of its own).
   */
  struct ServerTypeDescriptor
  {
    ServerType type;
    const char* name;                     // its text in a stored configuration
    const char* dicomWebPath;             // the DICOMweb root below the server's URL
    ExplorerRegistry nativeRegistry;      // where a server reached natively is declared
    TransferClientFactory nativeClient;   // the client of its native protocol; null when it has none
  };

  /** Null for a type outside the table. */
  const ServerTypeDescriptor* FindServerType(ServerType type);

  /** Null for an unknown text (the comparison is exact). */
  const ServerTypeDescriptor* FindServerType(const std::string& name);

  /** Where the explorer declares the server: a DICOMweb server as one, a native one by its type. */
  ExplorerRegistry GetExplorerRegistry(const ServerConfiguration& server);

  /** The one place that builds the transfer client of a server; NotImplemented when none fits. */
  std::unique_ptr<ITransferClient> CreateTransferClient(const HostBridge& host, const ServerConfiguration& server);
}
