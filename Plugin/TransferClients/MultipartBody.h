#pragma once

#include <SegmentedBuffer.h>

#include <string>

namespace QuelbyCloud
{
  class HostHttpClient;

  /** The body of a multipart request whose parts are DICOM files, under a boundary of its own. */
  class MultipartBody
  {
  private:
    std::string boundary_;
    Kestrum::SegmentedBuffer body_;

  public:
    /** The boundary is a freshly generated UUID. */
    MultipartBody();

    const std::string& GetBoundary() const { return boundary_; }

    /** Appends one part: the delimiter line, the given header lines (each ending with "\r\n",
        possibly none), then its Content-Length and "Content-Type: application/dicom", the file
        and "\r\n". */
    void AddDicomPart(const std::string& headerLines, const std::string& dicomFile);

    /** Appends the closing delimiter and moves the whole body into the request. */
    void CloseInto(HostHttpClient& request);
  };
}
