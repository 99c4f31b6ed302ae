#include "GlobalProperties.h"

#include "HostBuffer.h"

namespace QuelbyCloud
{
  std::optional<std::string> ReadGlobalProperty(const HostBridge& host, int32_t property)
  {
    HostString answer(host);

    _KestrumGetGlobalProperty params;
    params.result = answer.GetAddress();
    params.property = property;
    params.value = "";

    if (host.TryInvoke(KestrumService_GetGlobalProperty, &params) != 0)
    {
      // The host gave nothing back: the wrapper must not free what it does not own.
      *answer.GetAddress() = nullptr;
      return std::nullopt;
    }

    return std::string(answer.GetContent() == nullptr ? "" : answer.GetContent());
  }


  bool StoreGlobalProperty(const HostBridge& host, int32_t property, const std::string& value)
  {
    _KestrumSetGlobalProperty params;
    params.reserved = nullptr;
    params.property = property;
    params.value = value.c_str();

    return host.TryInvoke(KestrumService_SetGlobalProperty, &params) == 0;
  }
}
