#include "GlobalProperties.h"

#include "HostBuffer.h"
#include "HostContext.h"

namespace QuelbyCloud
{
  bool ReadGlobalProperty(std::string& value, int32_t property, const std::string& defaultValue)
  {
    KestrumPluginContext* context = RequireHostContext();

    HostString answer;

    _KestrumGetGlobalProperty params;
    params.result = answer.GetAddress();
    params.property = property;
    params.value = defaultValue.c_str();

    if (context->InvokeService(context, KestrumService_GetGlobalProperty, &params) != 0)
    {
      // The host gave nothing back: the wrapper must not free what it does not own.
      *answer.GetAddress() = nullptr;
      return false;
    }

    value = (answer.GetContent() == nullptr ? "" : answer.GetContent());
    return true;
  }


  bool StoreGlobalProperty(int32_t property, const std::string& value)
  {
    KestrumPluginContext* context = RequireHostContext();

    _KestrumSetGlobalProperty params;
    params.reserved = nullptr;
    params.property = property;
    params.value = value.c_str();

    return context->InvokeService(context, KestrumService_SetGlobalProperty, &params) == 0;
  }
}
