#include "QuelbyCloudPlugin.h"

#include "Destinations/DestinationKinds.h"
#include "WebInterface/StaticResources.h"

#include <KestrumException.h>

namespace QuelbyCloud
{
  QuelbyCloudPlugin::QuelbyCloudPlugin(KestrumPluginContext* context) :
    host_(context),
    logBinding_(host_),
    state_(host_),
    ledger_(host_),
    threads_(host_, state_, pending_, statistics_, ledger_),
    connection_(host_, destinations_, state_, ledger_),
    status_(host_, state_, pending_, statistics_),
    delivery_(state_, ledger_, threads_)
  {
    RegisterDestinationKinds(destinations_);
  }


  void QuelbyCloudPlugin::SetProperty(const char* pluginName, KestrumProperty property, const std::string& value) const
  {
    _KestrumSetPluginProperty params;
    params.plugin = pluginName;
    params.property = property;
    params.value = value.c_str();
    host_.Invoke(KestrumService_SetPluginProperty, &params);
  }


  void QuelbyCloudPlugin::RegisterWithHost(const char* pluginName, const HostCallbacks& callbacks) const
  {
    SetProperty(pluginName, KestrumProperty_Description,
                "Synchronization of Kestrum with cloud solutions provided by Quelby.");
    SetProperty(pluginName, KestrumProperty_RootUri, std::string(BASE_URI) + "/app/index.html");

    for (size_t i = 0; i < REST_ROUTES.size(); i++)
    {
      const std::string expression = BASE_URI + std::string(REST_ROUTES[i].path);
      _KestrumRestCallback params;
      params.pathRegularExpression = expression.c_str();
      params.callback = callbacks.routes[i];
      host_.Invoke(KestrumService_RegisterRestCallbackNoLock, &params);
    }

    _KestrumOnChangeCallback change;
    change.callback = callbacks.onChange;
    host_.Invoke(KestrumService_RegisterOnChangeCallback, &change);

    SetProperty(pluginName, KestrumProperty_ExplorerExtension, ReadEmbeddedFile(EmbeddedFile_ExplorerExtension));
  }


  KestrumErrorCode QuelbyCloudPlugin::ServeRequest(size_t route, KestrumRestOutput* output,
                                                   const KestrumHttpRequest* request)
  {
    return ServeRoute(*this, REST_ROUTES.at(route), output, request);
  }


  KestrumErrorCode QuelbyCloudPlugin::OnChange(int32_t changeType, int32_t resourceType, const char* resourceId)
  {
    try
    {
      // Instances are queued whatever the routing option: the synchronization thread applies it.
      if (changeType == KestrumChangeType_NewInstance &&
          resourceType == KestrumResourceType_Instance)
      {
        if (resourceId != nullptr)
        {
          pending_.Push(resourceId, false);
        }
      }
      else if (changeType == KestrumChangeType_KestrumStarted)
      {
        threads_.OnHostStarted();
      }
      else if (changeType == KestrumChangeType_KestrumStopped)
      {
        threads_.OnHostStopping();
      }
    }
    catch (const Kestrum::KestrumException& e)
    {
      LOG(ERROR) << "Exception: " << e.GetDescription();
    }
    catch (...)
    {
      LOG(ERROR) << "Uncatched native exception";
    }

    return 0;
  }
}
