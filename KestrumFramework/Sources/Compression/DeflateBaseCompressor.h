#pragma once

#include "IBufferCompressor.h"
#include "../KestrumException.h"

#include <stdint.h>

namespace Kestrum
{
  /** Settings shared by the deflate-based compressors: level 6, optional 8-byte size prefix. */
  class DeflateBaseCompressor : public IBufferCompressor
  {
  private:
    uint8_t compressionLevel_;
    bool prefixWithUncompressedSize_;

  public:
    DeflateBaseCompressor() :
      compressionLevel_(6),
      prefixWithUncompressedSize_(false)
    {
    }

    /** When set, a compressed buffer starts with the uncompressed size (8 bytes, little-endian). */
    void SetSizePrefix(bool prefix) { prefixWithUncompressedSize_ = prefix; }
    bool HasSizePrefix() const { return prefixWithUncompressedSize_; }

    /** From 0 (stored) to 9 (smallest); anything else is refused with ErrorCode_ParameterOutOfRange. */
    void SetCompressionLevel(uint8_t level)
    {
      if (level > 9)
      {
        throw KestrumException(ErrorCode_ParameterOutOfRange);
      }
      compressionLevel_ = level;
    }

    uint8_t GetCompressionLevel() const { return compressionLevel_; }
  };
}
