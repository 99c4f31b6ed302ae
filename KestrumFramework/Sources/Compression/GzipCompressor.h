#pragma once

#include "DeflateBaseCompressor.h"

namespace Kestrum
{
  /** Gzip streams (deflate with the gzip header and trailer), in one pass over memory. */
  class GzipCompressor : public DeflateBaseCompressor
  {
  public:
    GzipCompressor();

    /** One gzip member, deflated at the compression level by libdeflate. */
    void Compress(std::string& output, const void* source, size_t size) override;

    /**
     * The expected size comes from untrusted bytes (size prefix or gzip
     * trailer): a size deflate cannot produce from that many compressed bytes
     * is refused (BadFileFormat) before anything is allocated. Inflated by
     * zlib, which checks the trailer's length against what it produced.
     */
    void Decompress(std::string& output, const void* compressed, size_t size) override;
  };
}
