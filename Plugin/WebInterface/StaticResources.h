#pragma once

#include <Plugins/KestrumPluginInterface.h>

#include <string>

namespace QuelbyCloud
{
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

  /** The bytes of a file resource; code 3 for an unknown number. */
  std::string ReadEmbeddedFile(int resource);

  /** The bytes of one file of a directory resource (path with its leading "/", case-sensitive); code 3 for an unknown directory, 7 for a missing path. */
  std::string ReadEmbeddedDirectoryFile(int directory, const std::string& path);

  /** GET handler of the front-end library files ("/app/(js/.*)", "/app/(css/.*)", "/app/(fonts/.*)"). */
  void ServeLibraryFile(KestrumRestOutput* output, const char* url, const KestrumHttpRequest* request);

  /** GET handler of the web application's own files ("/app/(.*)"). */
  void ServeApplicationFile(KestrumRestOutput* output, const char* url, const KestrumHttpRequest* request);
}
