// Cost of the transfer clients' own work, with the network taken out: the
// host context's outgoing-HTTP service drops each request at once.
//
//  - a STOW-RS batch of ten 512 KiB files (5 MiB) built and flattened by the
//    DICOMweb client, against one memcpy of the same bytes;
//  - the peer client's gzip of one 512 KiB file, against zlib called directly;
//  - reading a peer's answer to an upload (each peer upload reads two such
//    answers, and the host's answer headers, as JSON), against a reader whose
//    settings are built again for each call.

#include <HostBridge/HostBridge.h>
#include <TransferClients/DicomWebClient.h>
#include <TransferClients/KestrumPeerClient.h>

#include <Compression/GzipCompressor.h>
#include <Logging.h>
#include <Toolbox.h>

#include <benchmark/benchmark.h>
#include <json/reader.h>
#include <zlib.h>

#include <sys/resource.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace
{
  const size_t FILE_SIZE = 512 * 1024;
  const size_t FILES_PER_BATCH = 10;

  KestrumErrorCode DropEverything(KestrumPluginContext*, int32_t service, const void*)
  {
    // Refusing service 27 makes the client treat the batch as undelivered,
    // after it has built and handed over its body.
    return (service == KestrumService_CallHttpClient ? 9 : 0);
  }

  // The clients' host; the log lines go to it as well, and are dropped.
  const QuelbyCloud::HostBridge& DroppingHost()
  {
    static KestrumPluginContext context = { nullptr, "mainline", &std::free, &DropEverything };
    static QuelbyCloud::HostBridge bridge(&context);
    Kestrum::Logging::SetSink(&bridge);
    return bridge;
  }

  // Pixel-like content: 16-bit samples of a slowly varying signal with noise,
  // which compresses about as well as an uncompressed CT slice.
  std::string MakeImageLikeFile(unsigned int seed)
  {
    std::mt19937 generator(seed);
    std::normal_distribution<double> noise(0.0, 12.0);
    std::string file(FILE_SIZE, '\0');
    for (size_t i = 0; i + 1 < FILE_SIZE; i += 2)
    {
      const double base = 1000.0 + 400.0 * std::sin(static_cast<double>(i) / 4096.0);
      const uint16_t sample = static_cast<uint16_t>(base + noise(generator));
      file[i] = static_cast<char>(sample & 0xff);
      file[i + 1] = static_cast<char>(sample >> 8);
    }
    return file;
  }

  long MinorFaults()
  {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
  }

  const std::vector<std::string>& Batch()
  {
    static const std::vector<std::string> files = []
    {
      std::vector<std::string> result;
      for (size_t i = 0; i < FILES_PER_BATCH; i++)
      {
        result.push_back(MakeImageLikeFile(static_cast<unsigned int>(i + 1)));
      }
      return result;
    }();
    return files;
  }
}


static void StowBodyBuiltByTheClient(benchmark::State& state)
{
  const QuelbyCloud::HostBridge& host = DroppingHost();
  const std::vector<std::string>& files = Batch();

  const long faultsBefore = MinorFaults();
  for (auto _ : state)
  {
    QuelbyCloud::DicomWebClient client(host, "http://127.0.0.1:9/dicom-web", {});
    for (size_t i = 0; i < files.size(); i++)
    {
      client.AddInstance("1.2.3." + std::to_string(i), files[i]);
    }
    benchmark::DoNotOptimize(client.Send());
  }

  state.counters["page_faults"] = benchmark::Counter(static_cast<double>(MinorFaults() - faultsBefore),
                                                    benchmark::Counter::kAvgIterations);
  state.SetBytesProcessed(state.iterations() * FILES_PER_BATCH * FILE_SIZE);
}
BENCHMARK(StowBodyBuiltByTheClient)->Unit(benchmark::kMillisecond);


static void StowBodyPlainMemcpy(benchmark::State& state)
{
  const std::vector<std::string>& files = Batch();

  const long faultsBefore = MinorFaults();
  for (auto _ : state)
  {
    std::string body;
    body.resize(FILES_PER_BATCH * FILE_SIZE);
    char* target = &body[0];
    for (const std::string& file : files)
    {
      std::memcpy(target, file.data(), file.size());
      target += file.size();
    }
    benchmark::DoNotOptimize(body.data());
    benchmark::ClobberMemory();
  }

  state.counters["page_faults"] = benchmark::Counter(static_cast<double>(MinorFaults() - faultsBefore),
                                                    benchmark::Counter::kAvgIterations);
  state.SetBytesProcessed(state.iterations() * FILES_PER_BATCH * FILE_SIZE);
}
BENCHMARK(StowBodyPlainMemcpy)->Unit(benchmark::kMillisecond);


static void GzipThroughTheFramework(benchmark::State& state)
{
  const std::string& file = Batch().front();
  Kestrum::GzipCompressor compressor;
  size_t compressedSize = 0;

  for (auto _ : state)
  {
    std::string compressed;
    Kestrum::CompressBuffer(compressor, compressed, file);
    compressedSize = compressed.size();
    benchmark::DoNotOptimize(compressed.data());
  }

  state.SetBytesProcessed(state.iterations() * FILE_SIZE);
  state.counters["ratio"] = static_cast<double>(compressedSize) / FILE_SIZE;
}
BENCHMARK(GzipThroughTheFramework)->Unit(benchmark::kMillisecond);


static void GzipPeerClientUpload(benchmark::State& state)
{
  const QuelbyCloud::HostBridge& host = DroppingHost();
  const std::string& file = Batch().front();

  for (auto _ : state)
  {
    // A refused upload logs one line; the dropping host discards it.
    QuelbyCloud::KestrumPeerClient client(host, "http://127.0.0.1:9", {}, true);
    client.AddInstance("1.2.3", file);
    benchmark::DoNotOptimize(client.Send());
  }

  state.SetBytesProcessed(state.iterations() * FILE_SIZE);
}
BENCHMARK(GzipPeerClientUpload)->Unit(benchmark::kMillisecond);


static void GzipZlibAlone(benchmark::State& state)
{
  const std::string& file = Batch().front();
  std::vector<unsigned char> output(compressBound(FILE_SIZE) + 1024);
  size_t compressedSize = 0;

  for (auto _ : state)
  {
    z_stream stream;
    std::memset(&stream, 0, sizeof(stream));
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(file.data()));
    stream.avail_in = static_cast<uInt>(file.size());
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(output.size());
    if (deflateInit2(&stream, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK ||
        deflate(&stream, Z_FINISH) != Z_STREAM_END)
    {
      state.SkipWithError("zlib failed");
      break;
    }
    compressedSize = stream.total_out;
    deflateEnd(&stream);
    benchmark::DoNotOptimize(output.data());
  }

  state.SetBytesProcessed(state.iterations() * FILE_SIZE);
  state.counters["ratio"] = static_cast<double>(compressedSize) / FILE_SIZE;
}
BENCHMARK(GzipZlibAlone)->Unit(benchmark::kMillisecond);


namespace
{
  const std::string PEER_UPLOAD_ANSWER =
    "{\n   \"ID\" : \"5a0e3ee4-6c1b11d9-8d1f7c44-3b6fcd8e-02b0d1a7\",\n"
    "   \"ParentPatient\" : \"0946fcb6-cf12ab43-bad958c1-bf057ad5-0fc6f54c\",\n"
    "   \"ParentSeries\" : \"6f1b492a-bc8b7a7d-2c51b1cf-22b2e3dd-1b2f1f2e\",\n"
    "   \"ParentStudy\" : \"b9c08539-26f93bde-c81ab0d7-bffaf2cb-a4d0bdd0\",\n"
    "   \"Path\" : \"/instances/5a0e3ee4-6c1b11d9-8d1f7c44-3b6fcd8e-02b0d1a7\",\n"
    "   \"Status\" : \"Success\"\n}\n";
}


static void PeerAnswerRead(benchmark::State& state)
{
  for (auto _ : state)
  {
    benchmark::DoNotOptimize(Kestrum::Toolbox::ReadJson(PEER_UPLOAD_ANSWER));
  }
}
BENCHMARK(PeerAnswerRead);


static void PeerAnswerReadSettingsEachCall(benchmark::State& state)
{
  for (auto _ : state)
  {
    Json::CharReaderBuilder builder;
    builder["allowComments"] = true;
    builder["collectComments"] = true;
    builder["stackLimit"] = 256;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    benchmark::DoNotOptimize(reader->parse(PEER_UPLOAD_ANSWER.data(),
                                           PEER_UPLOAD_ANSWER.data() + PEER_UPLOAD_ANSWER.size(), &value, &errors));
  }
}
BENCHMARK(PeerAnswerReadSettingsEachCall);

BENCHMARK_MAIN();
