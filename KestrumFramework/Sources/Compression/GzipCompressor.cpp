#include "GzipCompressor.h"

#include "../KestrumException.h"

#include <cstring>
#include <memory>
#include <new>

#include <libdeflate.h>
#include <zlib.h>

namespace Kestrum
{
  // Deflate cannot expand input by more than this factor (258 bytes from 2 bits);
  // the constant covers the gzip header, the trailer and tiny streams.
  static const uint64_t MAXIMUM_INFLATE_RATIO = 1032;
  static const uint64_t MAXIMUM_INFLATE_SLACK = 64;

  static const int GZIP_WINDOW_BITS = 31;   // 15-bit window, gzip header and trailer

  static uint64_t ReadLittleEndian(const uint8_t* bytes, size_t count)
  {
    uint64_t value = 0;
    for (size_t i = count; i > 0; i--)
    {
      value = (value << 8) | bytes[i - 1];
    }
    return value;
  }

  GzipCompressor::GzipCompressor()
  {
    SetSizePrefix(false);
  }

  void GzipCompressor::Compress(std::string& output, const void* source, size_t size)
  {
    if (size > UINT32_MAX)
    {
      throw KestrumException(ErrorCode_NotEnoughMemory);
    }

    // libdeflate: about three times zlib's speed at the same level, for the
    // same ratio (BENCHMARKS.md), and still one plain gzip member.
    const std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)> compressor(
      libdeflate_alloc_compressor(GetCompressionLevel()), libdeflate_free_compressor);
    if (compressor == nullptr)
    {
      output.clear();
      throw KestrumException(ErrorCode_NotEnoughMemory);
    }

    const size_t offset = HasSizePrefix() ? 8 : 0;
    output.resize(offset + libdeflate_gzip_compress_bound(compressor.get(), size));

    const size_t count = libdeflate_gzip_compress(compressor.get(), size == 0 ? "" : source, size,
                                                  &output[offset], output.size() - offset);
    if (count == 0)
    {
      output.clear();
      throw KestrumException(ErrorCode_InternalError);
    }

    if (HasSizePrefix())
    {
      const uint64_t prefix = size;
      for (size_t i = 0; i < 8; i++)
      {
        output[i] = static_cast<char>((prefix >> (8 * i)) & 0xff);
      }
    }

    output.resize(offset + count);
  }

  void GzipCompressor::Decompress(std::string& output, const void* compressed, size_t size)
  {
    const uint8_t* bytes = static_cast<const uint8_t*>(compressed);
    const uint8_t* streamStart = bytes;
    size_t streamSize = size;

    // The expected size comes from the prefix, or from the gzip trailer (modulo 2^32).
    uint64_t expected;
    if (HasSizePrefix())
    {
      if (size == 0)
      {
        output.clear();   // no prefix and no stream: nothing to read
        return;
      }
      if (size < 8)
      {
        throw KestrumException(ErrorCode_CorruptedFile, "The compressed buffer is ill-formed", true);
      }
      expected = ReadLittleEndian(bytes, 8);
      streamStart = bytes + 8;
      streamSize = size - 8;
    }
    else
    {
      if (size < 4)
      {
        throw KestrumException(ErrorCode_BadFileFormat);
      }
      expected = ReadLittleEndian(bytes + size - 4, 4);
    }

    // The expected size is untrusted: check it before any allocation.
    if (expected > UINT32_MAX || streamSize > UINT32_MAX)
    {
      throw KestrumException(ErrorCode_NotEnoughMemory);
    }
    if (expected > static_cast<uint64_t>(streamSize) * MAXIMUM_INFLATE_RATIO + MAXIMUM_INFLATE_SLACK)
    {
      throw KestrumException(ErrorCode_BadFileFormat);
    }

    try
    {
      output.resize(static_cast<size_t>(expected));
    }
    catch (const std::bad_alloc&)
    {
      throw KestrumException(ErrorCode_NotEnoughMemory);
    }

    // zlib wants a valid output pointer even when nothing is expected.
    uint8_t scratch;
    z_stream stream;
    memset(&stream, 0, sizeof(stream));
    stream.next_in = const_cast<Bytef*>(streamStart);
    stream.avail_in = static_cast<uInt>(streamSize);
    stream.next_out = expected == 0 ? &scratch : reinterpret_cast<Bytef*>(&output[0]);
    stream.avail_out = static_cast<uInt>(expected);

    if (inflateInit2(&stream, GZIP_WINDOW_BITS) != Z_OK)
    {
      output.clear();
      throw KestrumException(ErrorCode_InternalError);
    }

    int result = inflate(&stream, Z_FINISH);
    if (result != Z_STREAM_END)
    {
      inflateEnd(&stream);
      output.clear();
      switch (result)
      {
        case Z_BUF_ERROR:
        case Z_NEED_DICT:
          throw KestrumException(ErrorCode_BadFileFormat);
        case Z_MEM_ERROR:
          throw KestrumException(ErrorCode_NotEnoughMemory);
        default:
          throw KestrumException(ErrorCode_InternalError);
      }
    }

    const uint64_t produced = stream.total_out;
    if (inflateEnd(&stream) != Z_OK)
    {
      output.clear();
      throw KestrumException(ErrorCode_InternalError);
    }

    // A trailer or prefix that lied would hand back a truncated or padded file.
    if (produced != expected)
    {
      output.clear();
      throw KestrumException(ErrorCode_NotImplemented,
                             "The uncompressed size of a gzip-encoded buffer was not properly guessed", true);
    }
  }
}
