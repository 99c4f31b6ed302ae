#include "HostBuffer.h"

#include "HostContext.h"

#include <KestrumException.h>
#include <Logging.h>
#include <Toolbox.h>

#include <cstring>

namespace QuelbyCloud
{
  HostBuffer::HostBuffer()
  {
    buffer_.data = nullptr;
    buffer_.size = 0;
  }

  HostBuffer::~HostBuffer()
  {
    try
    {
      Clear();
    }
    catch (...)
    {
      // No context bound: nothing can have been allocated by a host.
    }
  }

  void HostBuffer::ResetWithoutFree()
  {
    buffer_.data = nullptr;
    buffer_.size = 0;
  }

  void HostBuffer::Clear()
  {
    if (buffer_.data != nullptr)
    {
      KestrumPluginContext* context = RequireHostContext();
      context->Free(buffer_.data);
    }
    ResetWithoutFree();
  }

  void HostBuffer::ToString(std::string& target) const
  {
    if (IsEmpty())
    {
      target.clear();
    }
    else
    {
      target.assign(static_cast<const char*>(buffer_.data), buffer_.size);
    }
  }

  void HostBuffer::ToJson(Json::Value& target) const
  {
    if (IsEmpty())
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_InternalError);
    }

    const char* begin = static_cast<const char*>(buffer_.data);
    std::optional<Json::Value> parsed = Kestrum::Toolbox::ReadJson(std::string_view(begin, buffer_.size));
    if (!parsed)
    {
      LOG(ERROR) << "Cannot convert some memory buffer to JSON";
      throw Kestrum::KestrumException(Kestrum::ErrorCode_BadFileFormat);
    }
    target.swap(*parsed);
  }

  bool HostBuffer::RestGet(const std::string& uri, bool withPlugins)
  {
    Clear();
    KestrumPluginContext* context = RequireHostContext();

    _KestrumRestApiGet params;
    params.target = &buffer_;
    params.uri = uri.c_str();

    return CheckAnswer(context->InvokeService(
      context, withPlugins ? KestrumService_RestApiGetAfterPlugins : KestrumService_RestApiGet, &params));
  }

  bool HostBuffer::RestPut(const std::string& uri, const void* body, size_t bodySize, bool withPlugins)
  {
    if (bodySize > UINT32_MAX)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_NotEnoughMemory);
    }

    Clear();
    KestrumPluginContext* context = RequireHostContext();

    _KestrumRestApiPut params;
    params.target = &buffer_;
    params.uri = uri.c_str();
    params.body = body;
    params.bodySize = static_cast<uint32_t>(bodySize);

    return CheckAnswer(context->InvokeService(
      context, withPlugins ? KestrumService_RestApiPutAfterPlugins : KestrumService_RestApiPut, &params));
  }

  bool HostBuffer::CheckAnswer(KestrumErrorCode code)
  {
    if (code != 0)
    {
      // A failing service owns nothing in the out field: forget it, never free it.
      ResetWithoutFree();
    }

    switch (code)
    {
      case 0:
        return true;
      case Kestrum::ErrorCode_InexistentItem:
      case Kestrum::ErrorCode_UnknownResource:
        return false;
      default:
        throw Kestrum::KestrumException(static_cast<Kestrum::ErrorCode>(code));
    }
  }


  HostString::~HostString()
  {
    try
    {
      Clear();
    }
    catch (...)
    {
    }
  }

  void HostString::Clear()
  {
    if (str_ != nullptr)
    {
      KestrumPluginContext* context = RequireHostContext();
      context->Free(str_);
      str_ = nullptr;
    }
  }

  void HostString::ToJson(Json::Value& target) const
  {
    if (str_ == nullptr)
    {
      LOG(ERROR) << "Cannot convert an empty memory buffer to JSON";
      throw Kestrum::KestrumException(Kestrum::ErrorCode_InternalError);
    }

    std::optional<Json::Value> parsed = Kestrum::Toolbox::ReadJson(str_);
    if (!parsed)
    {
      LOG(ERROR) << "Cannot convert some memory buffer to JSON";
      throw Kestrum::KestrumException(Kestrum::ErrorCode_BadFileFormat);
    }
    target.swap(*parsed);
  }
}
