#include "ServerTypes.h"

#include "../TransferClients/DicomWebClient.h"
#include "../TransferClients/KestrumPeerClient.h"
#include "../TransferClients/VexaNativeClient.h"

#include <KestrumException.h>

namespace QuelbyCloud
{
  namespace
  {
    std::unique_ptr<ITransferClient> MakePeerClient(const HostBridge& host, const ServerConfiguration& server)
    {
      return std::make_unique<KestrumPeerClient>(host, server.GetUrl(), server.GetHttpHeaders(), server.IsCompress());
    }

    std::unique_ptr<ITransferClient> MakePortalClient(const HostBridge& host, const ServerConfiguration& server)
    {
      return std::make_unique<VexaNativeClient>(host, server.GetUrl(), server.GetHttpHeaders());
    }

    const ServerTypeDescriptor SERVER_TYPES[] = {
      { ServerType_Generic, "Generic", "", ExplorerRegistry::None, nullptr },
      { ServerType_Kestrum, "Kestrum", "/dicom-web", ExplorerRegistry::Peers, MakePeerClient },
      { ServerType_Vexa, "Vexa", "/api/dicom-web", ExplorerRegistry::None, MakePortalClient },
    };
  }


  const ServerTypeDescriptor* FindServerType(ServerType type)
  {
    for (const ServerTypeDescriptor& descriptor : SERVER_TYPES)
    {
      if (descriptor.type == type)
      {
        return &descriptor;
      }
    }
    return nullptr;
  }


  const ServerTypeDescriptor* FindServerType(const std::string& name)
  {
    for (const ServerTypeDescriptor& descriptor : SERVER_TYPES)
    {
      if (name == descriptor.name)
      {
        return &descriptor;
      }
    }
    return nullptr;
  }


  ExplorerRegistry GetExplorerRegistry(const ServerConfiguration& server)
  {
    switch (server.GetProtocolType())
    {
      case ProtocolType_DicomWeb:
        return ExplorerRegistry::DicomWebServers;
      case ProtocolType_Native:
      {
        const ServerTypeDescriptor* type = FindServerType(server.GetServerType());
        return type == nullptr ? ExplorerRegistry::None : type->nativeRegistry;
      }
      default:
        return ExplorerRegistry::None;
    }
  }


  std::unique_ptr<ITransferClient> CreateTransferClient(const HostBridge& host, const ServerConfiguration& server)
  {
    if (server.GetProtocolType() == ProtocolType_DicomWeb)
    {
      return std::make_unique<DicomWebClient>(host, server.GetDicomWebBaseUrl(), server.GetHttpHeaders());
    }

    if (server.GetProtocolType() == ProtocolType_Native)
    {
      const ServerTypeDescriptor* type = FindServerType(server.GetServerType());
      if (type != nullptr && type->nativeClient != nullptr)
      {
        return type->nativeClient(host, server);
      }
    }

    throw Kestrum::KestrumException(Kestrum::ErrorCode_NotImplemented);
  }
}
