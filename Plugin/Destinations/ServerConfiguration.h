#pragma once

#include <json/value.h>
#include <map>
#include <memory>
#include <string>
#include <stdint.h>

namespace QuelbyCloud
{
  class ITransferClient;

  // A fixed underlying type: a value outside the list (say, from a cast) is
  // still a valid value, which the record refuses with an error code.
  enum ServerType : int32_t
  {
    ServerType_Generic = 0,   // any DICOMweb server
    ServerType_Kestrum = 1,   // a Kestrum server
    ServerType_Vexa = 2       // the Vexa web publication portal
  };

  enum ProtocolType : int32_t
  {
    ProtocolType_DicomWeb = 0,
    ProtocolType_Native = 1
  };

  /** The one remote server to which instances are sent; a plain value. */
  class ServerConfiguration
  {
  public:
    typedef std::map<std::string, std::string> StringMap;

  private:
    std::string modalityName_;
    std::string url_;
    ServerType serverType_;
    ProtocolType protocolType_;
    bool compress_;
    StringMap httpHeaders_;
    StringMap publicParameters_;

  public:
    ServerConfiguration();

    const std::string& GetModalityName() const { return modalityName_; }
    /** Code 3 for an empty name. */
    void SetModalityName(const std::string& name);

    const std::string& GetUrl() const { return url_; }
    /** Stores the URL without its trailing slashes. */
    void SetUrl(const std::string& url);

    ServerType GetServerType() const { return serverType_; }
    void SetServerType(ServerType type) { serverType_ = type; }

    ProtocolType GetProtocolType() const { return protocolType_; }
    void SetProtocolType(ProtocolType type) { protocolType_ = type; }

    bool IsCompress() const { return compress_; }
    void SetCompress(bool compress) { compress_ = compress; }

    const StringMap& GetHttpHeaders() const { return httpHeaders_; }
    void SetHttpHeader(const std::string& name, const std::string& value) { httpHeaders_[name] = value; }

    const StringMap& GetPublicParameters() const { return publicParameters_; }
    void SetPublicParameter(const std::string& key, const std::string& value) { publicParameters_[key] = value; }

    /** Root of the server's DICOMweb service, by server type. */
    std::string GetDicomWebBaseUrl() const;

    void ToJson(Json::Value& target) const;
    static ServerConfiguration FromJson(const Json::Value& source);

    /** Declares the server in the host's explorer; refusals are logged, never thrown. */
    void RegisterInExplorer() const;
    /** Withdraws the declaration; refusals are logged, never thrown. */
    void UnregisterFromExplorer() const;

    /** The one place that chooses the transfer client of a server; code 2 when none fits. */
    std::unique_ptr<ITransferClient> CreateTransferClient() const;

    bool operator==(const ServerConfiguration& other) const;
    bool operator!=(const ServerConfiguration& other) const { return !(*this == other); }
  };
}
