#include "RouteRegistry.h"

#include "HostLog.h"

#include <mutex>

namespace KestrumHost
{
  namespace
  {
    /** Calls a plug-in's route; its failure, or an exception escaping it, becomes an error answer. */
    void CallRoute(KestrumRestCallback callback, const RestRequest& request, const std::vector<std::string>& groups,
                   RestAnswer& answer)
    {
      std::vector<const char*> groupPointers;
      for (const std::string& group : groups)
      {
        groupPointers.push_back(group.c_str());
      }
      std::vector<const char*> keys;
      std::vector<const char*> values;
      for (const auto& argument : request.query)
      {
        keys.push_back(argument.first.c_str());
        values.push_back(argument.second.c_str());
      }

      KestrumHttpRequest pluginRequest;
      pluginRequest.method = request.method;
      pluginRequest.groupsCount = static_cast<uint32_t>(groupPointers.size());
      pluginRequest.groups = groupPointers.empty() ? nullptr : groupPointers.data();
      pluginRequest.getCount = static_cast<uint32_t>(keys.size());
      pluginRequest.getKeys = keys.empty() ? nullptr : keys.data();
      pluginRequest.getValues = values.empty() ? nullptr : values.data();
      pluginRequest.body = request.body.empty() ? nullptr : request.body.data();
      pluginRequest.bodySize = static_cast<uint32_t>(request.body.size());

      KestrumRestOutput output{&answer};
      KestrumErrorCode code;
      try
      {
        code = callback(&output, request.path.c_str(), &pluginRequest);
      }
      catch (...)
      {
        code = Kestrum::ErrorCode_Plugin;
      }
      if (code != Kestrum::ErrorCode_Success)
      {
        answer.headers.clear();
        answer.SetError(static_cast<Kestrum::ErrorCode>(code));
      }
      else if (!answer.answered)
      {
        answer.SetBody("", "text/plain");
      }
    }
  }

  bool RouteRegistry::AddRoute(const std::string& expression, KestrumRestCallback callback)
  {
    Route route;
    try
    {
      route.regex = boost::regex(expression);
    }
    catch (const boost::regex_error&)
    {
      return false;
    }
    route.callback = callback;
    std::unique_lock<std::shared_mutex> lock(mutex_);
    routes_.push_back(std::move(route));
    return true;
  }

  void RouteRegistry::AddChangeCallback(KestrumOnChangeCallback callback)
  {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    changeCallbacks_.push_back(callback);
  }

  void RouteRegistry::SetProperty(const std::string& plugin, int32_t property, const std::string& value)
  {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    properties_[plugin][property] = value;
  }

  std::optional<std::string> RouteRegistry::GetProperty(const std::string& plugin, int32_t property) const
  {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    auto owner = properties_.find(plugin);
    if (owner == properties_.end())
    {
      return std::nullopt;
    }
    auto found = owner->second.find(property);
    if (found == owner->second.end())
    {
      return std::nullopt;
    }
    return found->second;
  }

  std::optional<KestrumRestCallback> RouteRegistry::FindRoute(const std::string& path,
                                                              std::vector<std::string>& groups) const
  {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    for (const Route& route : routes_)
    {
      boost::smatch match;
      if (boost::regex_match(path, match, route.regex))
      {
        groups.clear();
        for (size_t i = 1; i < match.size(); i++)
        {
          groups.push_back(match[i].str());
        }
        return route.callback;
      }
    }
    return std::nullopt;
  }

  bool RouteRegistry::HandleRoute(const RestRequest& request, RestAnswer& answer) const
  {
    std::vector<std::string> groups;
    std::optional<KestrumRestCallback> callback = FindRoute(request.path, groups);
    if (!callback)
    {
      return false;
    }
    CallRoute(*callback, request, groups, answer);   // routes are never removed: no lock needed
    return true;
  }

  void RouteRegistry::NotifyChange(int32_t changeType, int32_t resourceType, const std::string& resourceId) const
  {
    std::vector<KestrumOnChangeCallback> callbacks;
    {
      std::shared_lock<std::shared_mutex> lock(mutex_);
      callbacks = changeCallbacks_;
    }
    for (KestrumOnChangeCallback callback : callbacks)
    {
      try
      {
        int32_t result = callback(changeType, resourceType, resourceId.c_str());
        if (result != 0)
        {
          LogWarning("A change callback failed with code " + std::to_string(result));
        }
      }
      catch (...)
      {
        LogError("A change callback let an exception escape");
      }
    }
  }
}
