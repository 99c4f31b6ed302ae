#include "MultipartBody.h"

#include "../HostBridge/HostHttpClient.h"

#include <Toolbox.h>

namespace QuelbyCloud
{
  MultipartBody::MultipartBody() :
    boundary_(Kestrum::Toolbox::GenerateUuid())
  {
  }


  void MultipartBody::Reserve(size_t parts, uint64_t fileBytes)
  {
    // Delimiter and part headers: a file name of a few hundred bytes fits.
    constexpr size_t PART_OVERHEAD = 512;
    body_.reserve(body_.size() + fileBytes + parts * (boundary_.size() + PART_OVERHEAD) + boundary_.size() + 8);
  }


  void MultipartBody::AddDicomPart(const std::string& headerLines, std::string_view dicomFile)
  {
    body_.append("--").append(boundary_).append("\r\n")
         .append(headerLines)
         .append("Content-Length: ").append(std::to_string(dicomFile.size())).append("\r\n")
         .append("Content-Type: application/dicom\r\n\r\n")
         .append(dicomFile)
         .append("\r\n");
  }


  void MultipartBody::CloseInto(HostHttpClient& request)
  {
    body_.append("--").append(boundary_).append("--");
    request.SwapBody(body_);
    std::string().swap(body_);
  }
}
