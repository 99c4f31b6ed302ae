#include "HostBuffer.h"

#include <KestrumException.h>
#include <Toolbox.h>

namespace QuelbyCloud
{
  namespace
  {
    Json::Value ParseHostMemory(std::string_view text)
    {
      std::optional<Json::Value> parsed = Kestrum::Toolbox::ReadJson(text);
      if (!parsed)
      {
        LOG(ERROR) << "Cannot convert some memory buffer to JSON";
        throw Kestrum::KestrumException(Kestrum::ErrorCode_BadFileFormat);
      }
      return std::move(*parsed);
    }
  }


  HostBuffer::HostBuffer(const HostBridge& host) :
    host_(host)
  {
    Forget();
  }


  HostBuffer::~HostBuffer()
  {
    Clear();
  }


  void HostBuffer::Forget()
  {
    buffer_.data = nullptr;
    buffer_.size = 0;
  }


  void HostBuffer::Clear()
  {
    if (buffer_.data != nullptr)
    {
      host_.Free(buffer_.data);
    }
    Forget();
  }


  std::string_view HostBuffer::GetView() const
  {
    return IsEmpty() ? std::string_view() : std::string_view(static_cast<const char*>(buffer_.data), buffer_.size);
  }


  Json::Value HostBuffer::ToJson() const
  {
    if (IsEmpty())
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_InternalError);
    }
    return ParseHostMemory(GetView());
  }


  HostString::~HostString()
  {
    if (str_ != nullptr)
    {
      host_.Free(str_);
    }
  }


  Json::Value HostString::ToJson() const
  {
    if (str_ == nullptr)
    {
      LOG(ERROR) << "Cannot convert an empty memory buffer to JSON";
      throw Kestrum::KestrumException(Kestrum::ErrorCode_InternalError);
    }
    return ParseHostMemory(str_);
  }
}
