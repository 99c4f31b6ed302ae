#pragma once

#include <string>

namespace Kestrum
{
  /** Content types that the plug-in answers with; the values are fixed. */
  enum MimeType
  {
    MimeType_Binary = 0,
    MimeType_Css = 1,
    MimeType_Dicom = 2,
    MimeType_Gif = 3,
    MimeType_Gzip = 4,
    MimeType_Html = 5,
    MimeType_JavaScript = 6,
    MimeType_Jpeg = 7,
    MimeType_Jpeg2000 = 8,
    MimeType_Json = 9,
    MimeType_NaCl = 10,
    MimeType_PNaCl = 11,
    MimeType_Pam = 12,
    MimeType_Pdf = 13,
    MimeType_PlainText = 14,
    MimeType_Png = 15,
    MimeType_Svg = 16,
    MimeType_WebAssembly = 17,
    MimeType_Xml = 18,
    MimeType_Woff = 19,
    MimeType_Woff2 = 20,
    MimeType_Zip = 21,
    MimeType_PrometheusText = 22,
    MimeType_DicomWebJson = 23,
    MimeType_DicomWebXml = 24
  };

  /** The text of a content type ("text/html"...); ParameterOutOfRange for a value outside the enumeration. */
  const char* MimeTypeText(MimeType type);

  /**
   * The content type for the extension of the path's last component, compared
   * without case; an unknown extension is logged at information level and
   * gives MimeType_Binary.
   */
  MimeType MimeTypeFromPath(const std::string& path);

  /**
   * Reads a whole regular file as raw bytes. Fails with RegularFileExpected when the path
   * is not a regular file, InexistentFile when it cannot be opened, InternalError when it is too large
   * for memory; each failure writes one error line naming the path.
   */
  void ReadWholeFile(std::string& content, const std::string& path);
}
