// kestrum-host's reading of the tags it indexes from one received instance:
// the quick walk (explicit VR little endian files) against DCMTK's parse of
// the same bytes, side by side on each file named on the command line:
//
//   build-perf/bin/DicomParseBenchmark FILE...

#include <DicomParser.h>

#include <benchmark/benchmark.h>

#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

namespace
{
  void Parse(benchmark::State& state, const std::string& bytes, bool quick)
  {
    for (auto _ : state)
    {
      KestrumHost::ParsedDicom parsed;
      std::string reason;
      if (!KestrumHost::ParseDicom(bytes.data(), bytes.size(), parsed, reason, quick))
      {
        state.SkipWithError(reason.c_str());
        return;
      }
      benchmark::DoNotOptimize(parsed);
    }
  }
}

int main(int argc, char** argv)
{
  benchmark::Initialize(&argc, argv);
  if (argc < 2)
  {
    std::cerr << "usage: DicomParseBenchmark [benchmark options] FILE..." << std::endl;
    return 2;
  }
  for (int i = 1; i < argc; i++)
  {
    std::ifstream file(argv[i], std::ios::binary);
    auto* bytes = new std::string(std::istreambuf_iterator<char>(file), {});   // lives until exit
    const std::string name = std::string(argv[i]).substr(std::string(argv[i]).find_last_of('/') + 1);
    benchmark::RegisterBenchmark(("DCMTK/" + name).c_str(), Parse, std::cref(*bytes), false);
    benchmark::RegisterBenchmark(("quick walk/" + name).c_str(), Parse, std::cref(*bytes), true);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
