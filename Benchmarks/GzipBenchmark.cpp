// GzipCompressor against a direct zlib deflate of the same bytes (level 6,
// gzip framing), libdeflate and ISA-L at several levels, on a DICOM-sized
// buffer of pixel-like data; and inflating. With GZIP_BENCHMARK_FILES naming
// a folder, also zlib 6 and libdeflate 1, 4 and 6 over all of its files.

#include <Compression/GzipCompressor.h>
#include <SystemToolbox.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>
#include <random>
#include <stdexcept>
#include <zlib.h>

#include <libdeflate.h>
#if defined(QUELBY_HAVE_ISAL)
#  include <isa-l/igzip_lib.h>
#endif

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

  // The files of GZIP_BENCHMARK_FILES, read once.
  const std::vector<std::string>& Files()
  {
    static const std::vector<std::string> files = []
    {
      std::vector<std::string> contents;
      std::vector<std::filesystem::path> paths;
      for (const auto& entry : std::filesystem::directory_iterator(std::getenv("GZIP_BENCHMARK_FILES")))
      {
        paths.push_back(entry.path());
      }
      std::sort(paths.begin(), paths.end());
      for (const auto& path : paths)
      {
        contents.emplace_back();
        Kestrum::ReadWholeFile(contents.back(), path.string());
      }
      return contents;
    }();
    return files;
  }

  uint64_t FilesBytes()
  {
    uint64_t total = 0;
    for (const std::string& file : Files())
    {
      total += file.size();
    }
    return total;
  }

  void BM_FilesZlib6(benchmark::State& state)
  {
    std::string output;
    uint64_t compressed = 0;
    for (auto _ : state)
    {
      compressed = 0;
      for (const std::string& file : Files())
      {
        compressed += DirectDeflate(output, file);
      }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(FilesBytes()));
    state.counters["ratio"] = double(FilesBytes()) / double(compressed);
  }

  void BM_FilesLibdeflate(benchmark::State& state)
  {
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(static_cast<int>(state.range(0)));
    std::string output(2 * INPUT_SIZE, '\0');
    uint64_t compressed = 0;
    for (auto _ : state)
    {
      compressed = 0;
      for (const std::string& file : Files())
      {
        output.resize(std::max(output.size(), libdeflate_gzip_compress_bound(compressor, file.size())));
        compressed += libdeflate_gzip_compress(compressor, file.data(), file.size(), &output[0], output.size());
      }
    }
    libdeflate_free_compressor(compressor);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(FilesBytes()));
    state.counters["ratio"] = double(FilesBytes()) / double(compressed);
  }

  const bool FILES_REGISTERED = []
  {
    if (std::getenv("GZIP_BENCHMARK_FILES") != nullptr)
    {
      benchmark::RegisterBenchmark("BM_FilesZlib6", BM_FilesZlib6)->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark("BM_FilesLibdeflate", BM_FilesLibdeflate)->Arg(1)->Arg(4)->Arg(6)
        ->Unit(benchmark::kMillisecond);
    }
    return true;
  }();

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

  void BM_Libdeflate(benchmark::State& state)
  {
    const std::string& input = PixelLikeData();
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(static_cast<int>(state.range(0)));
    std::string output(libdeflate_gzip_compress_bound(compressor, input.size()), '\0');
    size_t size = 0;
    for (auto _ : state)
    {
      size = libdeflate_gzip_compress(compressor, input.data(), input.size(), &output[0], output.size());
      benchmark::DoNotOptimize(output.data());
    }
    libdeflate_free_compressor(compressor);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(input.size()));
    state.counters["ratio"] = double(input.size()) / double(size);
  }

#if defined(QUELBY_HAVE_ISAL)
  void BM_Isal(benchmark::State& state)
  {
    static const uint32_t LEVEL_BUFFERS[] = { ISAL_DEF_LVL0_DEFAULT, ISAL_DEF_LVL1_DEFAULT,
                                              ISAL_DEF_LVL2_DEFAULT, ISAL_DEF_LVL3_DEFAULT };
    const std::string& input = PixelLikeData();
    const int level = static_cast<int>(state.range(0));
    std::string levelBuffer(LEVEL_BUFFERS[level], '\0');
    std::string output(input.size() + input.size() / 8 + 1024, '\0');
    size_t size = 0;
    for (auto _ : state)
    {
      isal_zstream stream;
      isal_deflate_init(&stream);
      stream.gzip_flag = IGZIP_GZIP;
      stream.level = level;
      stream.level_buf = reinterpret_cast<uint8_t*>(&levelBuffer[0]);
      stream.level_buf_size = static_cast<uint32_t>(levelBuffer.size());
      stream.end_of_stream = 1;
      stream.flush = NO_FLUSH;
      stream.next_in = reinterpret_cast<uint8_t*>(const_cast<char*>(input.data()));
      stream.avail_in = static_cast<uint32_t>(input.size());
      stream.next_out = reinterpret_cast<uint8_t*>(&output[0]);
      stream.avail_out = static_cast<uint32_t>(output.size());
      if (isal_deflate(&stream) != COMP_OK || stream.internal_state.state != ZSTATE_END)
      {
        state.SkipWithError("isal_deflate");
        return;
      }
      size = stream.total_out;
      benchmark::DoNotOptimize(output.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(input.size()));
    state.counters["ratio"] = double(input.size()) / double(size);
  }
#endif

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
BENCHMARK(BM_Libdeflate)->DenseRange(1, 6)->Arg(9)->Unit(benchmark::kMillisecond);
#if defined(QUELBY_HAVE_ISAL)
BENCHMARK(BM_Isal)->Arg(1)->Arg(2)->Arg(3)->Unit(benchmark::kMillisecond);
#endif
BENCHMARK(BM_GzipCompressorDecompress)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
