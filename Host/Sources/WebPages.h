#pragma once

#include "PluginManager.h"
#include "RestTypes.h"

#include <string>

namespace KestrumHost
{
  /**
   * The host's small web pages: the home page listing the plug-ins, and the
   * explorer lookup page (jQuery Mobile) that runs the plug-ins' explorer extensions.
   * Library files are read from the npm folder (Host/WebLibraries/node_modules).
   */
  class WebPages
  {
  private:
    const PluginManager& plugins_;
    std::string librariesFolder_;

  public:
    explicit WebPages(const PluginManager& plugins);

    std::string RenderHome(const std::string& hostName) const;

    /** Serves "/app/..." pages and library files; false when the path is not one of them. */
    bool Serve(const std::string& path, RestAnswer& answer) const;
  };

  /** Escapes a text for HTML element content and attribute values. */
  std::string EscapeHtml(const std::string& text);
}
