#pragma once

#include "../HostBridge/RestExchange.h"

#include <array>

namespace QuelbyCloud
{
  class QuelbyCloudPlugin;

  using RouteHandler = void (*)(QuelbyCloudPlugin& plugin, const RestRequest& request, RestOutput& output);

  /** One route of the plug-in: its path after the base URI (a regular expression for the host), its one method, its handler. */
  struct RestRoute
  {
    const char* path;
    KestrumHttpMethod method;
    RouteHandler handler;
  };

  /** Every URI of the plug-in lies under this one. */
  extern const char* const BASE_URI;

  /**
   * Every route, in the order in which they are registered with the host.
   * The host tries routes in that order, so the library routes must come
   * before the catch-all page route.
   */
  extern const std::array<RestRoute, 15> REST_ROUTES;

  /**
   * Serves one request of a route: any other method than the route's gets
   * the host's 405; no exception reaches the host: the result is 0, the
   * exception's code, BadFileFormat for a text that does not convert to a number, or Plugin.
   */
  KestrumErrorCode ServeRoute(QuelbyCloudPlugin& plugin, const RestRoute& route,
                              KestrumRestOutput* output, const KestrumHttpRequest* request);
}
