#include "StaticResources.h"

#include "EmbeddedResourceTables.h"
#include "HostBridge/RestAnswers.h"

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

    // "/" followed by the route's first group: the path inside the directory.
    std::string PathFromRequest(const KestrumHttpRequest* request)
    {
      if (request->groupsCount < 1 || request->groups == nullptr || request->groups[0] == nullptr)
      {
        throw Kestrum::KestrumException(Kestrum::ErrorCode_InexistentItem);
      }
      return std::string("/") + request->groups[0];
    }

    void ServeDirectoryFile(EmbeddedDirectory directory,
                            KestrumRestOutput* output,
                            const KestrumHttpRequest* request)
    {
      if (request->method != KestrumHttpMethod_Get)
      {
        SendMethodNotAllowed(output, "GET");
        return;
      }

      const std::string path = PathFromRequest(request);

      // Typed before the lookup, so an unknown extension is reported even for a missing file.
      const Kestrum::MimeType type = Kestrum::MimeTypeFromPath(path);

      const std::string content = ReadEmbeddedDirectoryFile(directory, path);
      AnswerBuffer(output, content, Kestrum::MimeTypeText(type));
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


  void ServeLibraryFile(KestrumRestOutput* output, const char* url, const KestrumHttpRequest* request)
  {
    ServeDirectoryFile(EmbeddedDirectory_Libraries, output, request);
  }


  void ServeApplicationFile(KestrumRestOutput* output, const char* url, const KestrumHttpRequest* request)
  {
    ServeDirectoryFile(EmbeddedDirectory_Application, output, request);
  }
}
