#pragma once

#include <json/value.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace KestrumHost
{
  /** A configuration that cannot be used; the text says which key and why. */
  class ConfigurationError : public std::runtime_error
  {
  public:
    explicit ConfigurationError(const std::string& what) : std::runtime_error(what) {}
  };

  /** The host's settings, read once from the JSON configuration file. */
  struct HostConfig
  {
    std::string name = "Kestrum";
    std::string version = "mainline";
    unsigned int httpPort = 8042;
    bool remoteAccessAllowed = false;
    unsigned int maximumBodySize = 1024;  // MiB; bodies are held in memory, STOW-RS batches included
    std::string storageDirectory = "KestrumStorage";
    std::vector<std::string> plugins;

    bool authenticationEnabled = false;
    std::map<std::string, std::string> registeredUsers;

    bool sslEnabled = false;
    std::string sslCertificate;
    std::string sslPrivateKey;

    std::string httpsCACertificates;   // empty: the system's bundle
    bool httpsVerifyPeers = true;
    unsigned int httpTimeout = 60;     // seconds, 0 = none
    std::vector<std::string> httpConnectTo;

    bool dicomWebEnabled = false;
    std::string dicomWebRoot = "/dicom-web/";

    unsigned int dicomPort = 4242;            // the storage SCP's TCP port, 0 = no DICOM server
    std::string dicomAet = "KESTRUM";         // 1 to 16 characters, checked by Parse
    bool dicomCheckCalledAet = false;         // refuse associations that call another title
    unsigned int dicomMaxAssociations = 16;   // served at once; more are refused (A-ASSOCIATE-RJ)
    unsigned int dicomTimeout = 30;           // seconds a peer may stay silent (ACSE, DIMSE, sockets)

    Json::Value raw = Json::Value(Json::objectValue);  // handed to plug-ins as it was read

    /**
     * Parses a JSON text (comments allowed); unknown keys are ignored. Throws
     * ConfigurationError, or HostError with ErrorCode_BadApplicationEntityTitle
     * for an unusable "DicomAet".
     */
    static HostConfig Parse(const std::string& text);

    /** Reads and parses a file. Throws ConfigurationError. */
    static HostConfig Load(const std::string& path);

    /** The DICOMweb root without its final "/", always starting with "/". */
    std::string NormalizedDicomWebRoot() const;
  };
}
