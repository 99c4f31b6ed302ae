#pragma once

#include "../Destinations/IDestinationConfigurator.h"
#include "../HostBridge/RestExchange.h"
#include "../Synchronization/PluginState.h"

#include <string_view>

namespace QuelbyCloud
{
  class QuelbyCloudPlugin;

  // The plug-in's JSON API under "/plugins/quelby-cloud/api/". Each handler
  // reads the request into a value, calls one service operation and writes
  // the answer; the route table checks the method before.

  void ServeDestinations(QuelbyCloudPlugin& plugin, const RestRequest& request, RestOutput& output);
  void ServeTestConnection(QuelbyCloudPlugin& plugin, const RestRequest& request, RestOutput& output);
  void ServeConnect(QuelbyCloudPlugin& plugin, const RestRequest& request, RestOutput& output);
  void ServeDisconnect(QuelbyCloudPlugin& plugin, const RestRequest& request, RestOutput& output);
  void ServeOptions(QuelbyCloudPlugin& plugin, const RestRequest& request, RestOutput& output);
  void ServeStatus(QuelbyCloudPlugin& plugin, const RestRequest& request, RestOutput& output);
  void ServeClearPending(QuelbyCloudPlugin& plugin, const RestRequest& request, RestOutput& output);
  void ServeReplay(QuelbyCloudPlugin& plugin, const RestRequest& request, RestOutput& output);
  void ServeForceReplay(QuelbyCloudPlugin& plugin, const RestRequest& request, RestOutput& output);
  void ServeDelivery(QuelbyCloudPlugin& plugin, const RestRequest& request, RestOutput& output);
  void ServeRetryFailed(QuelbyCloudPlugin& plugin, const RestRequest& request, RestOutput& output);

  /** The body as a JSON object of strings ("id" and the typed parameters); NetworkProtocol otherwise. */
  DestinationParameters ReadParametersMap(std::string_view body);

  /** The body as a JSON object whose options, when present, are booleans; NetworkProtocol, then BadFileFormat otherwise. */
  PluginState::Options ReadOptions(std::string_view body);
}
