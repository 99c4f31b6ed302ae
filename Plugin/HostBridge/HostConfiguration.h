#pragma once

#include <json/value.h>
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
    /** Loads the whole configuration from the host (service 13). */
    HostConfiguration();

    /** Loads when the flag is true, else starts from an empty object. */
    explicit HostConfiguration(bool load);

    const Json::Value& GetJson() const { return configuration_; }
    const std::string& GetPath() const { return path_; }

    /** The key alone at the top level, else the path, a dot and the key. */
    std::string QualifiedKey(const std::string& key) const;

    /** True when the key is a member whose value is a JSON object. */
    bool IsSection(const std::string& key) const;

    /** Makes the target a view of the section (an empty object when absent; code 15 when not an object). */
    void ReadSection(HostConfiguration& target, const std::string& key) const;

    /** False when absent; the text when a JSON string; code 15 otherwise. */
    bool LookupStringOption(std::string& target, const std::string& key) const;
  };
}
