#include "DestinationKinds.h"

#include "DestinationConfigurators.h"
#include "DestinationRegistry.h"

namespace QuelbyCloud
{
  void RegisterDestinationKinds()
  {
    DestinationRegistry& registry = DestinationRegistry::GetInstance();
    boost::mutex::scoped_lock lock(registry.GetMutex());

    // The order is the order in which the web application lists the kinds.
    registry.Register("vexa", std::unique_ptr<IDestinationConfigurator>(
                        new VexaConfigurator(ProtocolType_DicomWeb)));
    registry.Register("kestrum-cloud", std::unique_ptr<IDestinationConfigurator>(
                        new KestrumCloudConfigurator));
    registry.Register("corvad", std::unique_ptr<IDestinationConfigurator>(
                        new DummyConfigurator("Corvad / Halminet by Quelby", true)));
    registry.Register("ai", std::unique_ptr<IDestinationConfigurator>(
                        new DummyConfigurator("My AI partner (without anonymization)", false)));
    registry.Register("pharma", std::unique_ptr<IDestinationConfigurator>(
                        new DummyConfigurator("My clinical study with some pharmaceutical firm", false)));
  }
}
