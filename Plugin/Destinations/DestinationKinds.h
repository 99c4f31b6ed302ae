#pragma once

#include "DestinationRegistry.h"

namespace QuelbyCloud
{
  /** Registers every destination kind, in the order in which the page lists them. */
  void RegisterDestinationKinds(DestinationRegistry& registry);
}
