// Gzip streams from anywhere: Decompress refuses bad ones with an error code,
// takes good ones to exactly what zlib itself inflates, and any buffer
// survives Compress then Decompress, with or without the size prefix.

#include "FuzzSupport.h"

#include <Compression/GzipCompressor.h>
#include <KestrumException.h>

#include <cstring>
#include <zlib.h>

namespace
{
  const char* const TARGET = "FuzzGzip";

  /** zlib's own streaming inflate of one gzip member; false when it does not end cleanly. */
  bool ReferenceInflate(std::string& output, const uint8_t* data, size_t size)
  {
    z_stream stream;
    memset(&stream, 0, sizeof(stream));
    if (inflateInit2(&stream, 31) != Z_OK)
    {
      return false;
    }
    stream.next_in = const_cast<Bytef*>(data);
    stream.avail_in = static_cast<uInt>(size);

    int result = Z_OK;
    char chunk[4096];
    while (result == Z_OK)
    {
      stream.next_out = reinterpret_cast<Bytef*>(chunk);
      stream.avail_out = sizeof(chunk);
      result = inflate(&stream, Z_NO_FLUSH);
      output.append(chunk, sizeof(chunk) - stream.avail_out);
      if (result == Z_BUF_ERROR || output.size() > (64u << 20))
      {
        break;
      }
    }
    inflateEnd(&stream);
    return result == Z_STREAM_END;
  }

  void CheckDecompress(bool sizePrefix, const uint8_t* data, size_t size)
  {
    Kestrum::GzipCompressor compressor;
    compressor.SetSizePrefix(sizePrefix);

    std::string output = "not cleared";
    try
    {
      compressor.Decompress(output, data, size);
    }
    catch (const Kestrum::KestrumException& e)
    {
      const int code = e.GetErrorCode();
      FUZZ_CHECK(TARGET, code == Kestrum::ErrorCode_BadFileFormat || code == Kestrum::ErrorCode_CorruptedFile ||
                 code == Kestrum::ErrorCode_NotImplemented || code == Kestrum::ErrorCode_NotEnoughMemory ||
                 code == Kestrum::ErrorCode_InternalError,
                 "Decompress refused with code " + std::to_string(code));
      return;
    }

    if (sizePrefix && size == 0)
    {
      FUZZ_CHECK(TARGET, output.empty(), "an empty prefixed buffer gave bytes");
      return;
    }

    const size_t offset = sizePrefix ? 8 : 0;
    std::string reference;
    FUZZ_CHECK(TARGET, ReferenceInflate(reference, data + offset, size - offset),
               "Decompress took a stream that zlib does not finish");
    FUZZ_CHECK(TARGET, reference == output, "Decompress differs from zlib's inflate");
  }

  void CheckRoundTrip(bool sizePrefix, const uint8_t* data, size_t size)
  {
    Kestrum::GzipCompressor compressor;
    compressor.SetSizePrefix(sizePrefix);

    std::string compressed;
    Kestrum::CompressBuffer(compressor, compressed, std::string(reinterpret_cast<const char*>(data), size));
    FUZZ_CHECK(TARGET, compressed.size() >= (sizePrefix ? 8u : 0u) + 18u, "shorter than a gzip header and trailer");

    std::string restored;
    compressor.Decompress(restored, compressed.data(), compressed.size());
    FUZZ_CHECK(TARGET, restored.size() == size &&
               (size == 0 || memcmp(restored.data(), data, size) == 0), "Compress then Decompress lost bytes");
  }
}

int QuelbyCloud::Fuzzing::FuzzOne(const uint8_t* data, size_t size)
{
  ResetHost();
  CheckDecompress(false, data, size);
  CheckDecompress(true, data, size);
  CheckRoundTrip(false, data, size);
  CheckRoundTrip(true, data, size);
  return 0;
}
