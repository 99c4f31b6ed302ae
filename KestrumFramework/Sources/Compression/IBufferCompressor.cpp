#include "IBufferCompressor.h"

namespace Kestrum
{
  void CompressBuffer(IBufferCompressor& compressor, std::string& output, std::string_view input)
  {
    if (input.empty())
    {
      compressor.Compress(output, nullptr, 0);
    }
    else
    {
      compressor.Compress(output, input.data(), input.size());
    }
  }
}
