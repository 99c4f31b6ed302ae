#pragma once

namespace QuelbyCloud
{
  /** Registers the five destination kinds in the process-wide registry, under its mutex. */
  void RegisterDestinationKinds();
}
