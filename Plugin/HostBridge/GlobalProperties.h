#pragma once

#include "HostBridge.h"

#include <optional>
#include <stdint.h>
#include <string>

namespace QuelbyCloud
{
  /** A global property of the host ("" for one never stored); empty when the host's service fails. */
  std::optional<std::string> ReadGlobalProperty(const HostBridge& host, int32_t property);

  /** Stores a global property of the host; false when the host refused it. */
  bool StoreGlobalProperty(const HostBridge& host, int32_t property, const std::string& value);
}
