#pragma once

#include "HostBridge.h"

#include <json/value.h>
#include <optional>
#include <string>

namespace QuelbyCloud
{
  /** A view of the host's configuration: the whole of it, or one section with its dotted path. */
  class HostConfiguration
  {
  private:
    Json::Value configuration_;
    std::string path_;

  public:
    /** An empty configuration (an empty object at the top level). */
    HostConfiguration();

    /** Loads the whole configuration from the host; an unreadable one is logged and thrown (InternalError or BadFileFormat). */
    explicit HostConfiguration(const HostBridge& host);

    const Json::Value& GetJson() const { return configuration_; }
    const std::string& GetPath() const { return path_; }

    /** The key alone at the top level, else the path, a dot and the key. */
    std::string QualifiedKey(const std::string& key) const;

    /** True when the key is a member whose value is a JSON object. */
    bool IsSection(const std::string& key) const;

    /** The section under the key (an empty one when absent; BadFileFormat when not an object). */
    HostConfiguration ReadSection(const std::string& key) const;

    /** Absent, or the text of a string option (BadFileFormat for any other type). */
    std::optional<std::string> LookupStringOption(const std::string& key) const;

    /** The port of the host's own HTTP server: "HttpPort", 8042 when absent or not a port. */
    unsigned int GetHttpPort() const;
  };
}
