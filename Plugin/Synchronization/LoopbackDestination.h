#pragma once

#include <string>

namespace QuelbyCloud
{
  /** The port of the host's own HTTP server: its "HttpPort" option, 8042 when absent or unreadable. */
  unsigned int ReadHostHttpPort();

  /**
   * True when the URL names this machine (localhost, 127.0.0.0/8, ::1) on the
   * given port; a URL without a port uses 80 for http and 443 for https.
   */
  bool IsLocalUrlOnPort(const std::string& url, unsigned int port);
}
