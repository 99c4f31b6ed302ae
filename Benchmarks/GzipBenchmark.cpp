// GzipCompressor against a direct zlib deflate of the same bytes (level 6,
// gzip framing), on a DICOM-sized buffer of pixel-like data; and inflating.

#include <Compression/GzipCompressor.h>

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <stdexcept>
#include <zlib.h>

namespace
{
  const size_t INPUT_SIZE = 512 * 1024;

  // A smooth 16-bit gradient with a little noise, like the pixels of an image.
  const std::string& PixelLikeData()
  {
    static const std::string data = []
    {
      std::mt19937 random(20240607);
      std::string bytes(INPUT_SIZE, '\0');
      const size_t width = 512;
      for (size_t i = 0; i + 1 < bytes.size(); i += 2)
      {
        const size_t pixel = i / 2;
        const size_t x = pixel % width, y = pixel / width;
        uint16_t sample = static_cast<uint16_t>(1000 + 3 * x + 2 * y + random() % 16);
        bytes[i] = static_cast<char>(sample & 0xff);
        bytes[i + 1] = static_cast<char>(sample >> 8);
      }
      return bytes;
    }();
    return data;
  }

  size_t DirectDeflate(std::string& output, const std::string& input)
  {
    z_stream stream;
    memset(&stream, 0, sizeof(stream));
    if (deflateInit2(&stream, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    {
      throw std::runtime_error("deflateInit2");
    }
    output.resize(deflateBound(&stream, input.size()));
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    stream.avail_in = static_cast<uInt>(input.size());
    stream.next_out = reinterpret_cast<Bytef*>(&output[0]);
    stream.avail_out = static_cast<uInt>(output.size());
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END)
    {
      throw std::runtime_error("deflate");
    }
    output.resize(stream.total_out);
    deflateEnd(&stream);
    return output.size();
  }

  void BM_GzipCompressorCompress(benchmark::State& state)
  {
    const std::string& input = PixelLikeData();
    Kestrum::GzipCompressor compressor;
    std::string output;
    for (auto _ : state)
    {
      Kestrum::CompressBuffer(compressor, output, input);
      benchmark::DoNotOptimize(output.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(input.size()));
    state.counters["ratio"] = double(input.size()) / double(output.size());
  }

  void BM_DirectZlibDeflate(benchmark::State& state)
  {
    const std::string& input = PixelLikeData();
    std::string output;
    for (auto _ : state)
    {
      DirectDeflate(output, input);
      benchmark::DoNotOptimize(output.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(input.size()));
    state.counters["ratio"] = double(input.size()) / double(output.size());
  }

  void BM_GzipCompressorDecompress(benchmark::State& state)
  {
    const std::string& input = PixelLikeData();
    Kestrum::GzipCompressor compressor;
    std::string compressed, output;
    Kestrum::CompressBuffer(compressor, compressed, input);
    for (auto _ : state)
    {
      compressor.Decompress(output, compressed.data(), compressed.size());
      benchmark::DoNotOptimize(output.data());
    }
    if (output != input)
    {
      state.SkipWithError("round trip differs");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(input.size()));
  }
}

BENCHMARK(BM_GzipCompressorCompress)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DirectZlibDeflate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GzipCompressorDecompress)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
