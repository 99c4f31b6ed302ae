#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace QuelbyCloud
{
  class HostHttpClient;

  /** The body of a multipart request whose parts are DICOM files, under a boundary of its own. */
  class MultipartBody
  {
  private:
    std::string boundary_;
    std::string body_;

  public:
    /** The boundary is a freshly generated UUID. */
    MultipartBody();

    const std::string& GetBoundary() const { return boundary_; }

    /** Room for that many parts of that many bytes in all: the files are then
        copied once, and a batch never holds two copies of itself. */
    void Reserve(size_t parts, uint64_t fileBytes);

    /** Appends one part: the delimiter line, the given header lines (each ending with "\r\n",
        possibly none), then its Content-Length and "Content-Type: application/dicom", the file
        and "\r\n". */
    void AddDicomPart(const std::string& headerLines, std::string_view dicomFile);

    /** Appends the closing delimiter and moves the whole body into the request. */
    void CloseInto(HostHttpClient& request);
  };
}
