#include "SystemToolbox.h"

#include "KestrumException.h"
#include "Logging.h"
#include "Toolbox.h"

#include <filesystem>
#include <fstream>
#include <limits>

namespace Kestrum
{
  const char* MimeTypeText(MimeType type)
  {
    switch (type)
    {
      case MimeType_Binary:         return "application/octet-stream";
      case MimeType_Css:            return "text/css";
      case MimeType_Dicom:          return "application/dicom";
      case MimeType_Gif:            return "image/gif";
      case MimeType_Gzip:           return "application/gzip";
      case MimeType_Html:           return "text/html";
      case MimeType_JavaScript:     return "application/javascript";
      case MimeType_Jpeg:           return "image/jpeg";
      case MimeType_Jpeg2000:       return "image/jp2";
      case MimeType_Json:           return "application/json";
      case MimeType_NaCl:           return "application/x-nacl";
      case MimeType_PNaCl:          return "application/x-pnacl";
      case MimeType_Pam:            return "image/x-portable-arbitrarymap";
      case MimeType_Pdf:            return "application/pdf";
      case MimeType_PlainText:      return "text/plain";
      case MimeType_Png:            return "image/png";
      case MimeType_Svg:            return "image/svg+xml";
      case MimeType_WebAssembly:    return "application/wasm";
      case MimeType_Xml:            return "application/xml";
      case MimeType_Woff:           return "application/x-font-woff";
      case MimeType_Woff2:          return "font/woff2";
      case MimeType_Zip:            return "application/zip";
      case MimeType_PrometheusText: return "text/plain; version=0.0.4";
      case MimeType_DicomWebJson:   return "application/dicom+json";
      case MimeType_DicomWebXml:    return "application/dicom+xml";
    }

    throw KestrumException(ErrorCode_ParameterOutOfRange);
  }


  namespace
  {
    struct ExtensionRow
    {
      const char* extension;
      MimeType type;
    };

    const ExtensionRow EXTENSIONS[] = {
      { ".txt",   MimeType_PlainText },
      { ".html",  MimeType_Html },
      { ".xml",   MimeType_Xml },
      { ".css",   MimeType_Css },
      { ".js",    MimeType_JavaScript },
      { ".json",  MimeType_Json },
      { ".nmf",   MimeType_Json },
      { ".pdf",   MimeType_Pdf },
      { ".wasm",  MimeType_WebAssembly },
      { ".nexe",  MimeType_NaCl },
      { ".pexe",  MimeType_PNaCl },
      { ".dcm",   MimeType_Dicom },
      { ".jpg",   MimeType_Jpeg },
      { ".jpeg",  MimeType_Jpeg },
      { ".gif",   MimeType_Gif },
      { ".png",   MimeType_Png },
      { ".pam",   MimeType_Pam },
      { ".svg",   MimeType_Svg },
      { ".woff",  MimeType_Woff },
      { ".woff2", MimeType_Woff2 }
    };

    // From the last "." of the last component to its end; "." and ".." have none.
    std::string LastComponentExtension(const std::string& path)
    {
      const size_t slash = path.find_last_of('/');
      const std::string component = (slash == std::string::npos ? path : path.substr(slash + 1));

      if (component == "." || component == "..")
      {
        return "";
      }

      const size_t dot = component.find_last_of('.');
      return (dot == std::string::npos ? "" : component.substr(dot));
    }

  }


  MimeType MimeTypeFromPath(const std::string& path)
  {
    const std::string extension = Toolbox::ToLowerAscii(LastComponentExtension(path));

    for (const ExtensionRow& row : EXTENSIONS)
    {
      if (extension == row.extension)
      {
        return row.type;
      }
    }

    LOG(INFO) << "Unknown MIME type for extension \"" << extension << "\"";
    return MimeType_Binary;
  }


  void ReadWholeFile(std::string& content, const std::string& path)
  {
    // Following links; a failing status query counts as "not a regular file".
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error) || error)
    {
      throw KestrumException(ErrorCode_RegularFileExpected,
                             "The path does not point to a regular file: " + path, true);
    }

    std::ifstream file(path.c_str(), std::ios::in | std::ios::binary);
    if (!file.good())
    {
      throw KestrumException(ErrorCode_InexistentFile, "File not found: " + path, true);
    }

    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    file.seekg(0, std::ios::beg);

    if (size < 0 ||
        static_cast<unsigned long long>(size) > static_cast<unsigned long long>(content.max_size()) ||
        static_cast<unsigned long long>(size) > static_cast<unsigned long long>(std::numeric_limits<size_t>::max()))
    {
      throw KestrumException(ErrorCode_InternalError,
                             "Reading a file that is too large for a 32bit architecture", true);
    }

    content.resize(static_cast<size_t>(size));
    if (size > 0)
    {
      file.read(&content[0], size);
      if (file.gcount() != size)
      {
        // The file shrank while it was read: what was read is not the file.
        content.clear();
        throw KestrumException(ErrorCode_InexistentFile, "File not found: " + path, true);
      }
    }

    file.close();
  }
}
