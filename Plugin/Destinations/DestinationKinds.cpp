#include "DestinationKinds.h"

#include <memory>

// Every kind of destination that the user can choose, in the order the page
// lists them: its identifier, and the factory that the kind's own file
// defines. This list is the only place that names them, so a new kind is
// one new file and one line here.
#define QUELBY_DESTINATION_KINDS(KIND)                  \
  KIND("vexa", MakeVexaDestination)                     \
  KIND("kestrum-cloud", MakeKestrumCloudDestination)    \
  KIND("corvad", MakeCorvadDestination)                 \
  KIND("ai", MakeAiPartnerDestination)                  \
  KIND("pharma", MakePharmaStudyDestination)            \
  /* end of the list */

namespace QuelbyCloud
{
#define QUELBY_DECLARE_KIND(identifier, factory) std::unique_ptr<IDestinationConfigurator> factory();
  QUELBY_DESTINATION_KINDS(QUELBY_DECLARE_KIND)
#undef QUELBY_DECLARE_KIND

  void RegisterDestinationKinds(DestinationRegistry& registry)
  {
#define QUELBY_REGISTER_KIND(identifier, factory) registry.Register(identifier, factory());
    QUELBY_DESTINATION_KINDS(QUELBY_REGISTER_KIND)
#undef QUELBY_REGISTER_KIND
  }
}
