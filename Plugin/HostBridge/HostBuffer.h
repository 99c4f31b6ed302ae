#pragma once

#include <Plugins/KestrumPluginInterface.h>

#include <json/value.h>
#include <string>

namespace QuelbyCloud
{
  /** A block that the host allocated; owned, not copyable, given back through the host's free function. */
  class HostBuffer
  {
  private:
    KestrumMemoryBuffer buffer_;

    // Forgets the block without giving it back (the host has not filled it).
    void ResetWithoutFree();

  public:
    HostBuffer();
    ~HostBuffer();

    HostBuffer(const HostBuffer&) = delete;
    HostBuffer& operator=(const HostBuffer&) = delete;

    /** Gives the block back and empties the buffer. */
    void Clear();

    /** The record handed to a service as an out field; clear the buffer first. */
    KestrumMemoryBuffer* GetRecord() { return &buffer_; }

    const void* GetData() const { return buffer_.data; }
    uint32_t GetSize() const { return buffer_.size; }
    bool IsEmpty() const { return buffer_.data == nullptr || buffer_.size == 0; }

    /** Copies the bytes into a text (empty text for an empty buffer). */
    void ToString(std::string& target) const;

    /** Parses the whole block as one JSON document (empty: code -1; not JSON: logged, code 15). */
    void ToJson(Json::Value& target) const;

    /** GET on the host's REST API (3001, or 3010 with plug-ins); false when the resource does not exist. */
    bool RestGet(const std::string& uri, bool withPlugins);

    /** PUT on the host's REST API (3004, or 3013 with plug-ins); false when the resource does not exist. */
    bool RestPut(const std::string& uri, const void* body, size_t bodySize, bool withPlugins);

    /** Turns a service result into a boolean: 0 true, 7 and 17 false, any other code thrown. */
    bool CheckAnswer(KestrumErrorCode code);
  };


  /** A zero-terminated text that the host allocated (services 8 and 13); owned like HostBuffer. */
  class HostString
  {
  private:
    char* str_;

  public:
    HostString() : str_(nullptr) {}
    ~HostString();

    HostString(const HostString&) = delete;
    HostString& operator=(const HostString&) = delete;

    void Clear();

    /** The pointer handed to a service as an out field; clear the string first. */
    char** GetAddress() { return &str_; }

    const char* GetContent() const { return str_; }

    /** Parses the text as one JSON document (null: logged, code -1; not JSON: logged, code 15). */
    void ToJson(Json::Value& target) const;
  };
}
