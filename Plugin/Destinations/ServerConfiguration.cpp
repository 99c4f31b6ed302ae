#include "ServerConfiguration.h"

#include "ServerTypes.h"

#include <KestrumException.h>
#include <Toolbox.h>

namespace QuelbyCloud
{
  namespace
  {
    const char* const DEFAULT_URL = "http://localhost:8042/";

    const char* const KEY_MODALITY_NAME = "ModalityName";
    const char* const KEY_URL = "Url";
    const char* const KEY_COMPRESS = "Compress";
    const char* const KEY_HTTP_HEADERS = "HttpHeaders";
    const char* const KEY_PUBLIC_PARAMETERS = "PublicParameters";
    const char* const KEY_SERVER_TYPE = "ServerType";
    const char* const KEY_PROTOCOL_TYPE = "ProtocolType";

    const char* ProtocolTypeToString(ProtocolType type)
    {
      switch (type)
      {
        case ProtocolType_DicomWeb:
          return "DicomWeb";
        case ProtocolType_Native:
          return "Native";
        default:
          throw Kestrum::KestrumException(Kestrum::ErrorCode_ParameterOutOfRange);
      }
    }

    // Exact, case-sensitive: a stored state with another spelling is not ours.
    ProtocolType StringToProtocolType(const std::string& text)
    {
      if (text == "Native")
      {
        return ProtocolType_Native;
      }
      if (text == "DicomWeb")
      {
        return ProtocolType_DicomWeb;
      }
      throw Kestrum::KestrumException(Kestrum::ErrorCode_BadFileFormat);
    }
  }


  ServerConfiguration::ServerConfiguration()
  {
    SetUrl(DEFAULT_URL);
  }


  void ServerConfiguration::SetModalityName(const std::string& name)
  {
    if (name.empty())
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_ParameterOutOfRange);
    }
    modalityName_ = name;
  }


  void ServerConfiguration::SetUrl(const std::string& url)
  {
    url_ = Kestrum::Toolbox::StripTrailingSlashes(url);
  }


  std::string ServerConfiguration::GetDicomWebBaseUrl() const
  {
    const ServerTypeDescriptor* type = FindServerType(serverType_);
    if (type == nullptr)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_NotImplemented);
    }
    return url_ + type->dicomWebPath;
  }


  Json::Value ServerConfiguration::ToJson() const
  {
    // Both enumerations are checked before anything is written.
    const ServerTypeDescriptor* serverType = FindServerType(serverType_);
    if (serverType == nullptr)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_ParameterOutOfRange);
    }
    const char* protocolType = ProtocolTypeToString(protocolType_);

    Json::Value target = Json::objectValue;
    target[KEY_MODALITY_NAME] = modalityName_;
    target[KEY_URL] = url_;
    target[KEY_COMPRESS] = compress_;
    Kestrum::SerializationToolbox::WriteStringMap(target, httpHeaders_, KEY_HTTP_HEADERS);
    Kestrum::SerializationToolbox::WriteStringMap(target, publicParameters_, KEY_PUBLIC_PARAMETERS);
    target[KEY_SERVER_TYPE] = serverType->name;
    target[KEY_PROTOCOL_TYPE] = protocolType;
    return target;
  }


  ServerConfiguration ServerConfiguration::FromJson(const Json::Value& source)
  {
    using namespace Kestrum::SerializationToolbox;

    ServerConfiguration result;

    // Stored texts are taken as they are: no check of the name, no slash removed.
    result.modalityName_ = ReadRequiredString(source, KEY_MODALITY_NAME);
    result.url_ = ReadRequiredString(source, KEY_URL);
    result.compress_ = ReadRequiredBoolean(source, KEY_COMPRESS);
    ReadStringMap(result.httpHeaders_, source, KEY_HTTP_HEADERS);
    ReadStringMap(result.publicParameters_, source, KEY_PUBLIC_PARAMETERS);

    // Both texts are read before either is interpreted: a missing one is reported first.
    const std::string serverType = ReadRequiredString(source, KEY_SERVER_TYPE);
    const std::string protocolType = ReadRequiredString(source, KEY_PROTOCOL_TYPE);

    const ServerTypeDescriptor* type = FindServerType(serverType);
    if (type == nullptr)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_BadFileFormat);
    }
    result.serverType_ = type->type;
    result.protocolType_ = StringToProtocolType(protocolType);
    return result;
  }


  bool ServerConfiguration::operator==(const ServerConfiguration& other) const
  {
    return (modalityName_ == other.modalityName_ &&
            url_ == other.url_ &&
            serverType_ == other.serverType_ &&
            protocolType_ == other.protocolType_ &&
            compress_ == other.compress_ &&
            httpHeaders_ == other.httpHeaders_ &&
            publicParameters_ == other.publicParameters_);
  }
}
