// The one place that decides which transfer client reaches a server.

#include "../Destinations/ServerConfiguration.h"

#include "DicomWebClient.h"
#include "KestrumPeerClient.h"
#include "VexaNativeClient.h"

#include <KestrumException.h>

namespace QuelbyCloud
{
  std::unique_ptr<ITransferClient> ServerConfiguration::CreateTransferClient() const
  {
    if (protocolType_ == ProtocolType_DicomWeb)
    {
      return std::unique_ptr<ITransferClient>(new DicomWebClient(GetDicomWebBaseUrl(), httpHeaders_));
    }
    else if (protocolType_ == ProtocolType_Native &&
             serverType_ == ServerType_Kestrum)
    {
      return std::unique_ptr<ITransferClient>(new KestrumPeerClient(url_, httpHeaders_, compress_));
    }
    else if (protocolType_ == ProtocolType_Native &&
             serverType_ == ServerType_Vexa)
    {
      return std::unique_ptr<ITransferClient>(new VexaNativeClient(url_, httpHeaders_));
    }
    else
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_NotImplemented);
    }
  }
}
