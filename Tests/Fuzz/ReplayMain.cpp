// Replays committed inputs through a fuzz target without libFuzzer: every
// file under each argument (a file or a folder, walked recursively, in name
// order). A broken invariant aborts, so the test fails on the input printed
// last. Fails as well when no input was found, so that a moved corpus is noticed.
#include "FuzzSupport.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

static std::vector<fs::path> CollectInputs(const fs::path& root)
{
  std::vector<fs::path> inputs;
  if (fs::is_regular_file(root))
  {
    inputs.push_back(root);
  }
  else if (fs::is_directory(root))
  {
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root))
    {
      if (entry.is_regular_file())
      {
        inputs.push_back(entry.path());
      }
    }
  }
  std::sort(inputs.begin(), inputs.end());
  return inputs;
}

int main(int argc, char* argv[])
{
  size_t count = 0;
  for (int i = 1; i < argc; i++)
  {
    for (const fs::path& input : CollectInputs(argv[i]))
    {
      std::ifstream file(input, std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
      if (!file.good() && !file.eof())
      {
        fprintf(stderr, "cannot read %s\n", input.c_str());
        return 1;
      }

      fprintf(stderr, "replaying %s (%zu bytes)\n", input.c_str(), bytes.size());

      // An exactly sized heap copy, so that a read past the end is caught as under libFuzzer.
      std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size() == 0 ? 1 : bytes.size()]);
      std::copy(bytes.begin(), bytes.end(), exact.get());
      QuelbyCloud::Fuzzing::FuzzOne(exact.get(), bytes.size());
      count++;
    }
  }

  printf("replayed %zu input(s)\n", count);
  return count == 0 ? 1 : 0;
}
