#pragma once

#include "ServerConfiguration.h"

#include "../HostBridge/HostBridge.h"

#include <optional>
#include <string>

namespace QuelbyCloud
{
  // The active server is declared as a modality of the host's explorer, so
  // that its users can also reach it by hand: as a peer of the host for a
  // native Kestrum server, as a server of the host's DICOMweb plug-in for a
  // DICOMweb one. Refusals are logged, never thrown; other host failures are.

  /** Declares the server, replacing a declaration of the same name after a warning. */
  void RegisterInExplorer(const HostBridge& host, const ServerConfiguration& server);

  /** Withdraws the declaration that RegisterInExplorer made (recomputed from the server). */
  void UnregisterFromExplorer(const HostBridge& host, const ServerConfiguration& server);

  /** The REST root of the host's DICOMweb plug-in, when it is loaded and answers there. */
  std::optional<std::string> FindDicomWebRoot(const HostBridge& host);

  /**
   * True when the name can be put into a host URI as it is: only letters,
   * digits, ".", "_" and "-", and neither "." nor "..".
   */
  bool IsSafeModalityName(const std::string& name);
}
