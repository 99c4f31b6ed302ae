#pragma once

#include <json/value.h>
#include <map>
#include <string>
#include <stdint.h>

namespace QuelbyCloud
{
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

  /** The one remote server to which instances are sent: a plain value, written to and read from JSON. */
  class ServerConfiguration
  {
  public:
    using StringMap = std::map<std::string, std::string>;

  private:
    std::string modalityName_ = "server";
    std::string url_;
    ServerType serverType_ = ServerType_Kestrum;
    ProtocolType protocolType_ = ProtocolType_Native;
    bool compress_ = true;
    StringMap httpHeaders_;        // credentials travel here: never shown to the user
    StringMap publicParameters_;   // what the page may show, such as "Description"

  public:
    /** A Kestrum peer on this machine's port 8042, reached natively with compression. */
    ServerConfiguration();

    const std::string& GetModalityName() const { return modalityName_; }
    /** ParameterOutOfRange for an empty name. */
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

    /** Root of the server's DICOMweb service, by server type; NotImplemented for a type outside the list. */
    std::string GetDicomWebBaseUrl() const;

    /** ParameterOutOfRange when an enumeration holds a value outside its list. */
    Json::Value ToJson() const;

    /** BadFileFormat for a missing or mistyped member, or an unknown type text. */
    static ServerConfiguration FromJson(const Json::Value& source);

    bool operator==(const ServerConfiguration& other) const;
    bool operator!=(const ServerConfiguration& other) const { return !(*this == other); }
  };
}
