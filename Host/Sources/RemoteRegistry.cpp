#include "RemoteRegistry.h"

#include <Toolbox.h>

#include <optional>

namespace KestrumHost
{
  namespace
  {
    bool IsValidName(const std::string& name)
    {
      return !name.empty() && name.size() <= 256 && name.find('/') == std::string::npos;
    }
  }

  bool RemoteRegistry::ParseDefinition(const std::string& body, Json::Value& definition, std::string& error)
  {
    // Only UTF-8: jsoncpp would store other bytes re-encoded, a header value other than the one given.
    const std::optional<Json::Value> read = Kestrum::Toolbox::ReadJsonObject(body);
    if (!read)
    {
      error = "The body must be a JSON object";
      return false;
    }
    const Json::Value& value = *read;
    if (!value.isMember("Url") || !value["Url"].isString() || value["Url"].asString().empty())
    {
      error = "The member \"Url\" must be a non-empty string";
      return false;
    }
    definition = Json::Value(Json::objectValue);
    definition["Url"] = value["Url"].asString();
    definition["HttpHeaders"] = Json::Value(Json::objectValue);
    if (value.isMember("HttpHeaders"))
    {
      const Json::Value& headers = value["HttpHeaders"];
      if (!headers.isObject())
      {
        error = "The member \"HttpHeaders\" must be an object of strings";
        return false;
      }
      for (const std::string& name : headers.getMemberNames())
      {
        if (!headers[name].isString())
        {
          error = "The member \"HttpHeaders\" must be an object of strings";
          return false;
        }
        definition["HttpHeaders"][name] = headers[name].asString();
      }
    }
    return true;
  }

  Json::Value RemoteRegistry::Redact(const Json::Value& definition)
  {
    Json::Value result(Json::objectValue);
    result["Url"] = definition["Url"];
    result["HttpHeaders"] = Json::Value(Json::arrayValue);
    if (definition["HttpHeaders"].isObject())
    {
      for (const std::string& name : definition["HttpHeaders"].getMemberNames())
      {
        result["HttpHeaders"].append(name);
      }
    }
    return result;
  }

  void RemoteRegistry::List(RestAnswer& answer) const
  {
    Json::Value names(Json::arrayValue);
    for (const std::string& name : storage_.ListRemotes(registry_))
    {
      names.append(name);
    }
    answer.SetJson(names);
  }

  void RemoteRegistry::Get(const std::string& name, RestAnswer& answer) const
  {
    std::string stored;
    std::optional<Json::Value> definition;
    if (storage_.GetRemote(registry_, name, stored))
    {
      definition = Kestrum::Toolbox::ReadJsonObject(stored);
    }
    if (!definition)
    {
      answer.SetError(Kestrum::ErrorCode_InexistentItem, "\"" + name + "\" does not exist");
      return;
    }
    answer.SetJson(Redact(*definition));
  }

  void RemoteRegistry::Put(const std::string& name, const std::string& body, RestAnswer& answer)
  {
    if (!IsValidName(name))
    {
      answer.SetError(Kestrum::ErrorCode_ParameterOutOfRange, "Bad name");
      return;
    }
    Json::Value definition;
    std::string error;
    if (!ParseDefinition(body, definition, error))
    {
      answer.SetError(Kestrum::ErrorCode_BadFileFormat, error);
      return;
    }
    storage_.PutRemote(registry_, name, Kestrum::Toolbox::WriteCompactJson(definition));
    answer.SetJson(Json::Value(Json::objectValue));
  }

  void RemoteRegistry::Delete(const std::string& name, RestAnswer& answer)
  {
    if (!storage_.DeleteRemote(registry_, name))
    {
      answer.SetError(Kestrum::ErrorCode_InexistentItem, "\"" + name + "\" does not exist");
      return;
    }
    answer.SetJson(Json::Value(Json::objectValue));
  }
}
