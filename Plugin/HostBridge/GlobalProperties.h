#pragma once

#include <stdint.h>
#include <string>

namespace QuelbyCloud
{
  /** Reads a global property of the host (service 8); false when the service fails. */
  bool ReadGlobalProperty(std::string& value, int32_t property, const std::string& defaultValue);

  /** Stores a global property of the host (service 9); false when the host refused it. */
  bool StoreGlobalProperty(int32_t property, const std::string& value);
}
