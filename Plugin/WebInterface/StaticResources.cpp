#include "StaticResources.h"

#include "EmbeddedResourceTables.h"

#include <KestrumException.h>
#include <SystemToolbox.h>


namespace QuelbyCloud
{
  namespace
  {
    bool IsKnownDirectory(int directory)
    {
      return directory == EmbeddedDirectory_Application ||
             directory == EmbeddedDirectory_Libraries;
    }

    void ServeDirectoryFile(EmbeddedDirectory directory, const RestRequest& request, RestOutput& output)
    {
      // The route's group is the path inside the directory.
      const std::string path = "/" + request.group;

      // Typed before the lookup, so an unknown extension is reported even for a missing file.
      const Kestrum::MimeType type = Kestrum::MimeTypeFromPath(path);

      output.AnswerBuffer(ReadEmbeddedDirectoryFile(directory, path), Kestrum::MimeTypeText(type));
    }
  }


  std::string ReadEmbeddedFile(int resource)
  {
    size_t count = 0;
    const EmbeddedFileEntry* entries = GetEmbeddedFileEntries(count);

    for (size_t i = 0; i < count; i++)
    {
      if (entries[i].number == resource)
      {
        return std::string(entries[i].data, entries[i].size);
      }
    }

    throw Kestrum::KestrumException(Kestrum::ErrorCode_ParameterOutOfRange);
  }


  std::string ReadEmbeddedDirectoryFile(int directory, const std::string& path)
  {
    if (!IsKnownDirectory(directory))
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_ParameterOutOfRange);
    }

    size_t count = 0;
    const EmbeddedFileEntry* entries = GetEmbeddedDirectoryEntries(count);

    for (size_t i = 0; i < count; i++)
    {
      if (entries[i].number == directory &&
          path == entries[i].path)
      {
        return std::string(entries[i].data, entries[i].size);
      }
    }

    throw Kestrum::KestrumException(Kestrum::ErrorCode_InexistentItem);
  }


  void ServeLibraryFile(QuelbyCloudPlugin&, const RestRequest& request, RestOutput& output)
  {
    ServeDirectoryFile(EmbeddedDirectory_Libraries, request, output);
  }


  void ServeApplicationFile(QuelbyCloudPlugin&, const RestRequest& request, RestOutput& output)
  {
    ServeDirectoryFile(EmbeddedDirectory_Application, request, output);
  }
}
