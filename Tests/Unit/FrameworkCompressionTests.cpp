#include <Compression/GzipCompressor.h>
#include <KestrumException.h>

#include <FakeHostTest.h>

#include <cstring>
#include <random>
#include <zlib.h>

using Kestrum::GzipCompressor;
using Kestrum::KestrumException;

namespace
{
  // 16-bit samples of a smooth gradient with noise, like the pixels of an image.
  std::string PixelLikeData(size_t bytes, unsigned int seed)
  {
    std::mt19937 random(seed);
    std::string data(bytes, '\0');
    for (size_t i = 0; i + 1 < bytes; i += 2)
    {
      uint16_t sample = static_cast<uint16_t>((i / 2) % 4096 + random() % 32);
      data[i] = static_cast<char>(sample & 0xff);
      data[i + 1] = static_cast<char>(sample >> 8);
    }
    return data;
  }

  // Independent of the code under test: plain zlib, gzip framing.
  std::string InflateWithZlib(const std::string& gzip)
  {
    z_stream stream;
    memset(&stream, 0, sizeof(stream));
    EXPECT_EQ(Z_OK, inflateInit2(&stream, 31));
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gzip.data()));
    stream.avail_in = static_cast<uInt>(gzip.size());

    std::string result;
    char chunk[65536];
    int status;
    do
    {
      stream.next_out = reinterpret_cast<Bytef*>(chunk);
      stream.avail_out = sizeof(chunk);
      status = inflate(&stream, Z_NO_FLUSH);
      result.append(chunk, sizeof(chunk) - stream.avail_out);
    } while (status == Z_OK);
    inflateEnd(&stream);
    EXPECT_EQ(Z_STREAM_END, status);
    EXPECT_EQ(0u, stream.avail_in) << "bytes after the first member";
    return result;
  }

  std::string DeflateWithZlib(const std::string& data, int level)
  {
    z_stream stream;
    memset(&stream, 0, sizeof(stream));
    EXPECT_EQ(Z_OK, deflateInit2(&stream, level, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY));
    std::string result(deflateBound(&stream, data.size()) + 64, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(&result[0]);
    stream.avail_out = static_cast<uInt>(result.size());
    EXPECT_EQ(Z_STREAM_END, deflate(&stream, Z_FINISH));
    result.resize(stream.total_out);
    deflateEnd(&stream);
    return result;
  }

  void SetTrailerLength(std::string& gzip, uint32_t length)
  {
    for (int i = 0; i < 4; i++)
    {
      gzip[gzip.size() - 4 + i] = static_cast<char>((length >> (8 * i)) & 0xff);
    }
  }

  std::string Prefix(uint64_t size)
  {
    std::string prefix(8, '\0');
    for (int i = 0; i < 8; i++)
    {
      prefix[i] = static_cast<char>((size >> (8 * i)) & 0xff);
    }
    return prefix;
  }

  Kestrum::ErrorCode DecompressError(GzipCompressor& compressor, const std::string& compressed, std::string& output)
  {
    try
    {
      compressor.Decompress(output, compressed.data(), compressed.size());
    }
    catch (const KestrumException& e)
    {
      return e.GetErrorCode();
    }
    ADD_FAILURE() << "no exception";
    return Kestrum::ErrorCode_Success;
  }
}


class GzipTest : public QuelbyCloud::Testing::FakeHostTest
{
protected:
  GzipCompressor compressor;
};

TEST_F(GzipTest, RoundTripsAreExactAndReadableByZlib)
{
  for (bool prefix : { false, true })
  {
    compressor.SetSizePrefix(prefix);
    compressor.SetCompressionLevel(prefix ? 4 : 6);   // 4: the peer uploads' level
    for (size_t size : { size_t(1), size_t(1000), size_t(70000), size_t(512 * 1024) })
    {
      const std::string data = PixelLikeData(size, static_cast<unsigned int>(size));
      std::string compressed, restored;
      Kestrum::CompressBuffer(compressor, compressed, data);
      compressor.Decompress(restored, compressed.data(), compressed.size());
      EXPECT_EQ(data, restored) << "size " << size << " prefix " << prefix;

      const std::string stream = prefix ? compressed.substr(8) : compressed;
      EXPECT_EQ(data, InflateWithZlib(stream)) << "size " << size;
    }
  }
  EXPECT_TRUE(host.Logs().empty());
}

TEST_F(GzipTest, ReadsStreamsOfOtherWritersAndCompressesAsWellAsZlibLevelSix)
{
  const std::string data = PixelLikeData(200000, 7);
  std::string restored;
  const std::string best = DeflateWithZlib(data, 9);
  compressor.Decompress(restored, best.data(), best.size());
  EXPECT_EQ(data, restored);

  // One member only: zlib stops at the end of the first, and there is nothing after it.
  std::string ours;
  compressor.Compress(ours, data.data(), data.size());
  EXPECT_EQ(data, InflateWithZlib(ours));
  EXPECT_LE(ours.size(), DeflateWithZlib(data, 6).size() * 105 / 100);

  // The peer uploads' level stays within the same bound; levels beyond 9 are refused.
  compressor.SetCompressionLevel(4);
  compressor.Compress(ours, data.data(), data.size());
  EXPECT_EQ(data, InflateWithZlib(ours));
  EXPECT_LE(ours.size(), DeflateWithZlib(data, 6).size() * 105 / 100);
  try
  {
    compressor.SetCompressionLevel(10);
    ADD_FAILURE() << "level 10 accepted";
  }
  catch (const KestrumException& e)
  {
    EXPECT_EQ(Kestrum::ErrorCode_ParameterOutOfRange, e.GetErrorCode());
  }
}

TEST_F(GzipTest, EmptyInputGivesAnEmptyMemberAndBack)
{
  std::string compressed, restored = "junk";
  Kestrum::CompressBuffer(compressor, compressed, "");
  ASSERT_GE(compressed.size(), 18u);   // gzip header and trailer
  EXPECT_EQ('\x1f', compressed[0]);
  EXPECT_EQ('\x8b', compressed[1]);
  compressor.Decompress(restored, compressed.data(), compressed.size());
  EXPECT_TRUE(restored.empty());
}

TEST_F(GzipTest, HighlyCompressibleDataIsNotMistakenForABomb)
{
  const std::string zeros(4 * 1024 * 1024, '\0');
  std::string compressed, restored;
  Kestrum::CompressBuffer(compressor, compressed, zeros);
  EXPECT_LT(compressed.size() * 900, zeros.size());   // close to deflate's maximum ratio
  compressor.Decompress(restored, compressed.data(), compressed.size());
  EXPECT_EQ(zeros, restored);
}

TEST_F(GzipTest, OverstatedSizeIsRefusedAndEmptiesTheOutput)
{
  const std::string data = PixelLikeData(5000, 1);
  std::string compressed, output = "previous";

  // In the trailer, zlib's own length check catches it at the end of the stream.
  compressor.Compress(compressed, data.data(), data.size());
  SetTrailerLength(compressed, 5001);
  EXPECT_EQ(Kestrum::ErrorCode_InternalError, DecompressError(compressor, compressed, output));
  EXPECT_TRUE(output.empty());
  EXPECT_TRUE(host.Errors().empty());

  // In the size prefix, the stream ends before the claimed size is reached.
  compressor.SetSizePrefix(true);
  compressor.Compress(compressed, data.data(), data.size());
  compressed.replace(0, 8, Prefix(5001));
  output = "previous";
  EXPECT_EQ(Kestrum::ErrorCode_NotImplemented, DecompressError(compressor, compressed, output));
  EXPECT_TRUE(output.empty());
  EXPECT_EQ(std::vector<std::string>{ "Not implemented yet: The uncompressed size of a gzip-encoded buffer was not properly guessed" },
            host.Errors());
}

TEST_F(GzipTest, TrailerClaimingTooLittleIsCode15)
{
  const std::string data = PixelLikeData(5000, 1);
  std::string compressed, output = "previous";
  compressor.Compress(compressed, data.data(), data.size());
  SetTrailerLength(compressed, 4999);

  EXPECT_EQ(Kestrum::ErrorCode_BadFileFormat, DecompressError(compressor, compressed, output));
  EXPECT_TRUE(output.empty());
}

TEST_F(GzipTest, TooShortBuffers)
{
  std::string output;
  for (size_t size = 1; size <= 3; size++)
  {
    EXPECT_EQ(Kestrum::ErrorCode_BadFileFormat, DecompressError(compressor, std::string(size, '\x1f'), output));
  }
  EXPECT_TRUE(host.Logs().empty());

  compressor.SetSizePrefix(true);
  for (size_t size = 1; size <= 7; size++)
  {
    EXPECT_EQ(Kestrum::ErrorCode_CorruptedFile, DecompressError(compressor, std::string(size, '\0'), output));
  }
  EXPECT_EQ(7u, host.Errors().size());
  EXPECT_EQ("Corrupted file (e.g. inconsistent MD5 hash): The compressed buffer is ill-formed", host.Errors()[0]);

  output = "previous";
  compressor.Decompress(output, nullptr, 0);   // no prefix and no stream: nothing
  EXPECT_TRUE(output.empty());
}

TEST_F(GzipTest, SizePrefixIsLittleEndianBeforeTheGzipMagic)
{
  compressor.SetSizePrefix(true);
  EXPECT_TRUE(compressor.HasSizePrefix());
  const std::string data = PixelLikeData(0x10203, 3);
  std::string compressed;
  compressor.Compress(compressed, data.data(), data.size());

  EXPECT_EQ(Prefix(0x10203), compressed.substr(0, 8));
  EXPECT_EQ('\x1f', compressed[8]);
  EXPECT_EQ('\x8b', compressed[9]);
}

TEST_F(GzipTest, StreamEndingEarlyIsCode15)
{
  compressor.SetSizePrefix(true);
  const std::string data = PixelLikeData(50000, 5);
  std::string compressed, output = "previous";
  compressor.Compress(compressed, data.data(), data.size());
  compressed.resize(8 + (compressed.size() - 8) / 2);

  EXPECT_EQ(Kestrum::ErrorCode_BadFileFormat, DecompressError(compressor, compressed, output));
  EXPECT_TRUE(output.empty());
}

TEST_F(GzipTest, ClaimedSizesDeflateCannotProduceAreRefusedBeforeAllocating)
{
  std::string empty;
  compressor.Compress(empty, nullptr, 0);

  // A 20-byte stream claiming 4 GiB: inflating would end early (code 2 or 15
  // after a huge allocation); it must be refused up front.
  std::string bomb = empty;
  SetTrailerLength(bomb, 0xffffffffu);
  std::string output = "previous";
  EXPECT_EQ(Kestrum::ErrorCode_BadFileFormat, DecompressError(compressor, bomb, output));
  EXPECT_TRUE(host.Errors().empty());   // refused before inflating: no size-mismatch line

  compressor.SetSizePrefix(true);
  EXPECT_EQ(Kestrum::ErrorCode_BadFileFormat,
            DecompressError(compressor, Prefix(uint64_t(100) * 1024 * 1024) + empty, output));
  EXPECT_EQ(Kestrum::ErrorCode_NotEnoughMemory,
            DecompressError(compressor, Prefix(uint64_t(1) << 40) + empty, output));
  EXPECT_TRUE(host.Errors().empty());
}

TEST(CompressBuffer, EmptyInputIsPassedAsNullAndZero)
{
  struct Recorder : public Kestrum::IBufferCompressor
  {
    const void* source = reinterpret_cast<const void*>(1);
    size_t size = 1;
    void Compress(std::string& output, const void* s, size_t n) override { source = s; size = n; }
    void Decompress(std::string&, const void*, size_t) override {}
  };

  Recorder recorder;
  std::string output;
  Kestrum::CompressBuffer(recorder, output, "");
  EXPECT_EQ(nullptr, recorder.source);
  EXPECT_EQ(0u, recorder.size);

  const std::string input = "abc";
  Kestrum::CompressBuffer(recorder, output, input);
  EXPECT_EQ(input.data(), recorder.source);
  EXPECT_EQ(3u, recorder.size);
}
