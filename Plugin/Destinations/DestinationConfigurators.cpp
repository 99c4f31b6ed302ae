#include "DestinationConfigurators.h"

#include <Base64.h>
#include <KestrumException.h>

#include <boost/regex.hpp>

#include <memory>

#if !defined(QUELBY_VEXA_DOMAIN) || !defined(QUELBY_COMPANY_DOMAIN) || !defined(QUELBY_KESTRUM_DOMAIN)
#  error The three destination domains must be defined by the build
#endif

namespace QuelbyCloud
{
  namespace
  {
    const std::string API_KEY_PREFIX = "Api-Key ";

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

    // Only presence counts: an empty value was typed too.
    const std::string* FindParameter(const DestinationParameters& parameters, const char* key)
    {
      const auto found = parameters.find(key);
      return found == parameters.end() ? nullptr : &found->second;
    }
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


  std::vector<DestinationParameter> VexaConfigurator::ListParameters() const
  {
    return {
      { "Url", "URL", ParameterType_Text, "URL to your instance of Vexa, must start with \"https://\"" },
      { "api-key", "API key", ParameterType_Text, "Your API key, must start with \"Api-Key\"" }
    };
  }


  bool VexaConfigurator::IsPortalUrl(const std::string& url)
  {
    static const boost::regex portal = MakePortalExpression(QUELBY_VEXA_DOMAIN);
    static const boost::regex company = MakePortalExpression(QUELBY_COMPANY_DOMAIN);

    return (boost::regex_match(url, portal) ||
            boost::regex_match(url, company));
  }


  ConfigurationResult VexaConfigurator::Configure(const DestinationParameters& parameters) const
  {
    const std::string* url = FindParameter(parameters, "Url");
    const std::string* apiKey = FindParameter(parameters, "api-key");

    if (url == nullptr)
    {
      return ConfigurationResult::Failure("No URL was provided");
    }
    if (apiKey == nullptr)
    {
      return ConfigurationResult::Failure("No API key was provided");
    }
    if (!IsPortalUrl(*url))
    {
      return ConfigurationResult::Failure("The URL to your instance of Vexa is not well formed");
    }
    if (apiKey->compare(0, API_KEY_PREFIX.size(), API_KEY_PREFIX) != 0)
    {
      return ConfigurationResult::Failure("The API key is not well formed");
    }

    ServerConfiguration server;
    server.SetModalityName("vexa");
    server.SetUrl(*url);
    server.SetHttpHeader("Authorization", *apiKey);
    server.SetServerType(ServerType_Vexa);
    server.SetProtocolType(protocol_);
    server.SetPublicParameter("URL", *url);
    return ConfigurationResult::Success(server);
  }


  std::vector<DestinationParameter> KestrumCloudConfigurator::ListParameters() const
  {
    return {
      { "Url", "URL", ParameterType_Text, "URL to your managed Kestrum server, must start with \"https://\"" },
      { "username", "Username", ParameterType_Text, "" },
      { "password", "Password", ParameterType_Password, "" }
    };
  }


  bool KestrumCloudConfigurator::IsManagedServerUrl(const std::string& url)
  {
    static const boost::regex managed("https://cloud\\." + EscapeForRegex(QUELBY_KESTRUM_DOMAIN) + "/.*");
    return boost::regex_match(url, managed);
  }


  ConfigurationResult KestrumCloudConfigurator::Configure(const DestinationParameters& parameters) const
  {
    const std::string* url = FindParameter(parameters, "Url");
    const std::string* username = FindParameter(parameters, "username");
    const std::string* password = FindParameter(parameters, "password");

    if (url == nullptr)
    {
      return ConfigurationResult::Failure("No URL was provided");
    }
    if (username == nullptr)
    {
      return ConfigurationResult::Failure("No username was provided");
    }
    if (password == nullptr)
    {
      return ConfigurationResult::Failure("No password was provided");
    }
    if (!IsManagedServerUrl(*url))
    {
      return ConfigurationResult::Failure("The URL to your managed Kestrum server is not well formed");
    }

    ServerConfiguration server;
    server.SetModalityName("kestrum-cloud");
    server.SetUrl(*url);
    server.SetHttpHeader("Authorization", "Basic " + Kestrum::Toolbox::EncodeBase64(*username + ":" + *password));
    server.SetServerType(ServerType_Kestrum);
    server.SetProtocolType(ProtocolType_Native);
    server.SetPublicParameter("URL", *url);
    return ConfigurationResult::Success(server);
  }


  std::vector<DestinationParameter> DummyConfigurator::ListParameters() const
  {
    return { { "Username", "Username", ParameterType_Text, "" } };
  }


  ConfigurationResult DummyConfigurator::Configure(const DestinationParameters&) const
  {
    ServerConfiguration server;
    server.SetModalityName("dummy");
    return ConfigurationResult::Success(server);
  }


  std::unique_ptr<IDestinationConfigurator> MakeVexaDestination()
  {
    return std::make_unique<VexaConfigurator>(ProtocolType_DicomWeb);
  }


  std::unique_ptr<IDestinationConfigurator> MakeKestrumCloudDestination()
  {
    return std::make_unique<KestrumCloudConfigurator>();
  }


  std::unique_ptr<IDestinationConfigurator> MakeCorvadDestination()
  {
    return std::make_unique<DummyConfigurator>("Corvad / Halminet by Quelby", true);
  }


  std::unique_ptr<IDestinationConfigurator> MakeAiPartnerDestination()
  {
    return std::make_unique<DummyConfigurator>("My AI partner (without anonymization)", false);
  }


  std::unique_ptr<IDestinationConfigurator> MakePharmaStudyDestination()
  {
    return std::make_unique<DummyConfigurator>("My clinical study with some pharmaceutical firm", false);
  }
}
