#pragma once

#include <string>
#include <string_view>
#include <stddef.h>

namespace Kestrum
{
  /** One-shot compression of a memory buffer into a text buffer, and back. */
  class IBufferCompressor
  {
  public:
    IBufferCompressor() = default;
    IBufferCompressor(const IBufferCompressor&) = delete;
    IBufferCompressor& operator=(const IBufferCompressor&) = delete;

    virtual ~IBufferCompressor() {}

    /** Fills the output with the compressed form of the source. */
    virtual void Compress(std::string& output, const void* source, size_t size) = 0;

    /** Fills the output with the decompressed bytes. */
    virtual void Decompress(std::string& output, const void* compressed, size_t size) = 0;
  };

  /** Compresses a whole byte string (an empty one as a null pointer and size 0). */
  void CompressBuffer(IBufferCompressor& compressor, std::string& output, std::string_view input);
}
