#pragma once

#include "RestTypes.h"
#include "Storage.h"

#include <json/value.h>

#include <string>

namespace KestrumHost
{
  /**
   * A persisted registry of named remote servers ({"Url", "HttpHeaders"}): the
   * host's peers and the DICOMweb servers. GET answers reveal the header names
   * but never their values, since those usually carry credentials.
   */
  class RemoteRegistry
  {
  private:
    Storage& storage_;
    std::string registry_;

  public:
    RemoteRegistry(Storage& storage, const std::string& registry) :
      storage_(storage),
      registry_(registry)
    {
    }

    /** Validates a PUT body; on success "definition" is the normalized form. */
    static bool ParseDefinition(const std::string& body, Json::Value& definition, std::string& error);

    /** The GET form of a stored definition: the URL and the header names. */
    static Json::Value Redact(const Json::Value& definition);

    void List(RestAnswer& answer) const;
    void Get(const std::string& name, RestAnswer& answer) const;
    void Put(const std::string& name, const std::string& body, RestAnswer& answer);
    void Delete(const std::string& name, RestAnswer& answer);
  };
}
