#pragma once

#include "HostBridge.h"

#include <json/value.h>
#include <string>
#include <string_view>

namespace QuelbyCloud
{
  /** A block that the host allocated; owned, not copyable, given back through the host's free function. */
  class HostBuffer
  {
  private:
    const HostBridge& host_;
    KestrumMemoryBuffer buffer_;

  public:
    explicit HostBuffer(const HostBridge& host);
    ~HostBuffer();

    HostBuffer(const HostBuffer&) = delete;
    HostBuffer& operator=(const HostBuffer&) = delete;

    /** Gives the block back and empties the buffer. */
    void Clear();

    /** Forgets the block without giving it back: a failing service owns nothing in its out field. */
    void Forget();

    /** The record handed to a service as an out field; clear the buffer first. */
    KestrumMemoryBuffer* GetRecord() { return &buffer_; }

    bool IsEmpty() const { return buffer_.data == nullptr || buffer_.size == 0; }

    /** The bytes (empty for an empty buffer), valid while the buffer holds them. */
    std::string_view GetView() const;

    /** Parses the whole block as one JSON document (empty: InternalError; not JSON: logged, BadFileFormat). */
    Json::Value ToJson() const;
  };


  /** A zero-terminated text that the host allocated (configuration, global properties); owned like HostBuffer. */
  class HostString
  {
  private:
    const HostBridge& host_;
    char* str_;

  public:
    explicit HostString(const HostBridge& host) : host_(host), str_(nullptr) {}
    ~HostString();

    HostString(const HostString&) = delete;
    HostString& operator=(const HostString&) = delete;

    /** The pointer handed to a service as an out field. */
    char** GetAddress() { return &str_; }

    const char* GetContent() const { return str_; }

    /** Parses the text as one JSON document (null: logged, InternalError; not JSON: logged, BadFileFormat). */
    Json::Value ToJson() const;
  };
}
