#include "DestinationConfigurators.h"

#include <Base64.h>
#include <KestrumException.h>

#include <boost/regex.hpp>

#if !defined(QUELBY_VEXA_DOMAIN) || !defined(QUELBY_COMPANY_DOMAIN) || !defined(QUELBY_KESTRUM_DOMAIN)
#  error The three destination domains must be defined by the build
#endif

namespace QuelbyCloud
{
  namespace
  {
    // A domain is a literal inside the expressions: every special character is escaped.
    std::string EscapeForRegex(const std::string& text)
    {
      static const std::string special = "\\^$.|?*+()[]{}";

      std::string result;
      for (char c : text)
      {
        if (special.find(c) != std::string::npos)
        {
          result.push_back('\\');
        }
        result.push_back(c);
      }
      return result;
    }

    // Only host-name characters before the domain: a "?", "#", "@" or "\" there
    // would let a URL reach another host while still ending with the domain.
    boost::regex MakePortalExpression(const char* domain)
    {
      return boost::regex("https://[A-Za-z0-9.-]*\\." + EscapeForRegex(domain) + "/?");
    }

    bool HasParameter(const DestinationParameters& parameters, const char* key)
    {
      return parameters.find(key) != parameters.end();
    }

    const std::string API_KEY_PREFIX = "Api-Key ";
  }


  VexaConfigurator::VexaConfigurator(ProtocolType protocol) :
    protocol_(protocol)
  {
    if (protocol != ProtocolType_DicomWeb &&
        protocol != ProtocolType_Native)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_ParameterOutOfRange);
    }
  }


  std::string VexaConfigurator::GetDescription() const
  {
    return "Vexa Web publication portal by Quelby";
  }


  void VexaConfigurator::ListParameters(std::vector<DestinationParameter>& target) const
  {
    target.push_back(DestinationParameter("Url", "URL", ParameterType_Text,
                                          "URL to your instance of Vexa, must start with \"https://\""));
    target.push_back(DestinationParameter("api-key", "API key", ParameterType_Text,
                                          "Your API key, must start with \"Api-Key\""));
  }


  bool VexaConfigurator::IsPortalUrl(const std::string& url)
  {
    static const boost::regex portal = MakePortalExpression(QUELBY_VEXA_DOMAIN);
    static const boost::regex company = MakePortalExpression(QUELBY_COMPANY_DOMAIN);

    return (boost::regex_match(url, portal) ||
            boost::regex_match(url, company));
  }


  bool VexaConfigurator::Configure(ServerConfiguration& target,
                                   std::string& error,
                                   const DestinationParameters& parameters) const
  {
    if (!HasParameter(parameters, "Url"))
    {
      error = "No URL was provided";
      return false;
    }

    if (!HasParameter(parameters, "api-key"))
    {
      error = "No API key was provided";
      return false;
    }

    const std::string& url = parameters.at("Url");
    const std::string& apiKey = parameters.at("api-key");

    if (!IsPortalUrl(url))
    {
      error = "The URL to your instance of Vexa is not well formed";
      return false;
    }

    if (apiKey.compare(0, API_KEY_PREFIX.size(), API_KEY_PREFIX) != 0)
    {
      error = "The API key is not well formed";
      return false;
    }

    target.SetModalityName("vexa");
    target.SetUrl(url);
    target.SetHttpHeader("Authorization", apiKey);
    target.SetServerType(ServerType_Vexa);
    target.SetProtocolType(protocol_);
    target.SetPublicParameter("URL", url);
    return true;
  }


  std::string KestrumCloudConfigurator::GetDescription() const
  {
    return "Managed Kestrum server by Quelby";
  }


  void KestrumCloudConfigurator::ListParameters(std::vector<DestinationParameter>& target) const
  {
    target.push_back(DestinationParameter("Url", "URL", ParameterType_Text,
                                          "URL to your managed Kestrum server, must start with \"https://\""));
    target.push_back(DestinationParameter("username", "Username", ParameterType_Text, ""));
    target.push_back(DestinationParameter("password", "Password", ParameterType_Password, ""));
  }


  bool KestrumCloudConfigurator::IsManagedServerUrl(const std::string& url)
  {
    static const boost::regex managed("https://cloud\\." + EscapeForRegex(QUELBY_KESTRUM_DOMAIN) + "/.*");
    return boost::regex_match(url, managed);
  }


  bool KestrumCloudConfigurator::Configure(ServerConfiguration& target,
                                           std::string& error,
                                           const DestinationParameters& parameters) const
  {
    if (!HasParameter(parameters, "Url"))
    {
      error = "No URL was provided";
      return false;
    }

    if (!HasParameter(parameters, "username"))
    {
      error = "No username was provided";
      return false;
    }

    if (!HasParameter(parameters, "password"))
    {
      error = "No password was provided";
      return false;
    }

    const std::string& url = parameters.at("Url");

    if (!IsManagedServerUrl(url))
    {
      error = "The URL to your managed Kestrum server is not well formed";
      return false;
    }

    const std::string credentials = parameters.at("username") + ":" + parameters.at("password");

    target.SetModalityName("kestrum-cloud");
    target.SetUrl(url);
    target.SetHttpHeader("Authorization", "Basic " + Kestrum::Toolbox::EncodeBase64(credentials));
    target.SetServerType(ServerType_Kestrum);
    target.SetProtocolType(ProtocolType_Native);
    target.SetPublicParameter("URL", url);
    return true;
  }


  void DummyConfigurator::ListParameters(std::vector<DestinationParameter>& target) const
  {
    target.push_back(DestinationParameter("Username", "Username", ParameterType_Text, ""));
  }


  bool DummyConfigurator::Configure(ServerConfiguration& target,
                                    std::string& error,
                                    const DestinationParameters& parameters) const
  {
    target.SetModalityName("dummy");
    return true;
  }
}
