#pragma once

#include "../HostBridge/RestExchange.h"

#include <string>

namespace QuelbyCloud
{
  class QuelbyCloudPlugin;

  /** Numbers of the embedded resources. */
  enum EmbeddedFile
  {
    EmbeddedFile_ExplorerExtension = 0
  };

  enum EmbeddedDirectory
  {
    EmbeddedDirectory_Application = 0,
    EmbeddedDirectory_Libraries = 1
  };

  /** The bytes of a file resource; ParameterOutOfRange for an unknown number. */
  std::string ReadEmbeddedFile(int resource);

  /** The bytes of one file of a directory resource (path with its leading "/", case-sensitive); ParameterOutOfRange for an unknown directory, InexistentItem for a missing path. */
  std::string ReadEmbeddedDirectoryFile(int directory, const std::string& path);

  /** The front-end library files ("/app/js/...", "/app/css/...", "/app/fonts/..."). */
  void ServeLibraryFile(QuelbyCloudPlugin& plugin, const RestRequest& request, RestOutput& output);

  /** The web application's own files (every other path under "/app/"). */
  void ServeApplicationFile(QuelbyCloudPlugin& plugin, const RestRequest& request, RestOutput& output);
}
