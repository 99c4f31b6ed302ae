#pragma once

#include "IDestinationConfigurator.h"

namespace QuelbyCloud
{
  /** The Vexa web publication portal, reached with the protocol given at construction. */
  class VexaConfigurator : public IDestinationConfigurator
  {
  private:
    ProtocolType protocol_;

  public:
    /** ParameterOutOfRange for a protocol outside DicomWeb and Native. */
    explicit VexaConfigurator(ProtocolType protocol);

    std::string GetDescription() const override { return "Vexa Web publication portal by Quelby"; }
    bool IsPrimary() const override { return true; }
    std::vector<DestinationParameter> ListParameters() const override;
    ConfigurationResult Configure(const DestinationParameters& parameters) const override;

    /** True when the URL is an https address of the portal's or the company's domain. */
    static bool IsPortalUrl(const std::string& url);
  };


  /** A managed Kestrum server in the cloud, reached over its REST API. */
  class KestrumCloudConfigurator : public IDestinationConfigurator
  {
  public:
    std::string GetDescription() const override { return "Managed Kestrum server by Quelby"; }
    bool IsPrimary() const override { return true; }
    std::vector<DestinationParameter> ListParameters() const override;
    ConfigurationResult Configure(const DestinationParameters& parameters) const override;

    /** True when the URL lies under https://cloud.<product domain>/. */
    static bool IsManagedServerUrl(const std::string& url);
  };


  /** An announced destination that is not available yet. */
  class DummyConfigurator : public IDestinationConfigurator
  {
  private:
    std::string description_;
    bool primary_;

  public:
    DummyConfigurator(const std::string& description, bool primary) :
      description_(description), primary_(primary)
    {
    }

    std::string GetDescription() const override { return description_ + " (soon)"; }
    bool IsPrimary() const override { return primary_; }
    std::vector<DestinationParameter> ListParameters() const override;
    ConfigurationResult Configure(const DestinationParameters& parameters) const override;
  };
}
