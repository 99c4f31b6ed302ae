#include "MultipartBody.h"

#include "../HostBridge/HostHttpClient.h"

#include <Toolbox.h>

namespace QuelbyCloud
{
  MultipartBody::MultipartBody() :
    boundary_(Kestrum::Toolbox::GenerateUuid())
  {
  }


  void MultipartBody::AddDicomPart(const std::string& headerLines, const std::string& dicomFile)
  {
    const std::string partHeader = ("--" + boundary_ + "\r\n" +
                                    headerLines +
                                    "Content-Length: " + std::to_string(dicomFile.size()) + "\r\n" +
                                    "Content-Type: application/dicom\r\n\r\n");
    body_.AddChunk(partHeader);
    body_.AddChunk(dicomFile);
    body_.AddChunk("\r\n");
  }


  void MultipartBody::CloseInto(HostHttpClient& request)
  {
    body_.AddChunk("--" + boundary_ + "--");

    std::string flattened;
    body_.Flatten(flattened);
    request.SwapBody(flattened);
  }
}
