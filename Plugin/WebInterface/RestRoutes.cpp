#include "RestRoutes.h"

#include "RestApi.h"
#include "StaticResources.h"

#include "../QuelbyCloudPlugin.h"

#include <KestrumException.h>

#include <boost/lexical_cast.hpp>

namespace QuelbyCloud
{
  const char* const BASE_URI = "/plugins/quelby-cloud";

  const std::array<RestRoute, 15> REST_ROUTES = { {
    { "/app/(js/.*)", KestrumHttpMethod_Get, ServeLibraryFile },
    { "/app/(css/.*)", KestrumHttpMethod_Get, ServeLibraryFile },
    { "/app/(fonts/.*)", KestrumHttpMethod_Get, ServeLibraryFile },
    { "/app/(.*)", KestrumHttpMethod_Get, ServeApplicationFile },
    { "/api/clear-pending", KestrumHttpMethod_Post, ServeClearPending },
    { "/api/connect", KestrumHttpMethod_Post, ServeConnect },
    { "/api/destinations", KestrumHttpMethod_Get, ServeDestinations },
    { "/api/disconnect", KestrumHttpMethod_Post, ServeDisconnect },
    { "/api/replay", KestrumHttpMethod_Post, ServeReplay },
    { "/api/force-replay", KestrumHttpMethod_Post, ServeForceReplay },
    { "/api/options", KestrumHttpMethod_Post, ServeOptions },
    { "/api/status", KestrumHttpMethod_Get, ServeStatus },
    { "/api/test-connection", KestrumHttpMethod_Post, ServeTestConnection },
    { "/api/delivery", KestrumHttpMethod_Get, ServeDelivery },
    { "/api/retry-failed", KestrumHttpMethod_Post, ServeRetryFailed },
  } };


  KestrumErrorCode ServeRoute(QuelbyCloudPlugin& plugin, const RestRoute& route,
                              KestrumRestOutput* output, const KestrumHttpRequest* request)
  {
    try
    {
      if (request == nullptr)
      {
        return Kestrum::ErrorCode_NullPointer;
      }

      RestOutput answer(plugin.GetHost(), output);
      if (request->method != route.method)
      {
        answer.SendMethodNotAllowed(route.method == KestrumHttpMethod_Get ? "GET" : "POST");
        return 0;
      }

      route.handler(plugin, RestRequest::FromHost(*request), answer);
      return 0;
    }
    catch (const Kestrum::KestrumException& e)
    {
      return e.GetErrorCode();
    }
    catch (const boost::bad_lexical_cast&)
    {
      return Kestrum::ErrorCode_BadFileFormat;
    }
    catch (...)
    {
      return Kestrum::ErrorCode_Plugin;
    }
  }
}
