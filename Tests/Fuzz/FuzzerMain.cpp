// libFuzzer's entry point: one input at a time, straight into the target.
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  return QuelbyCloud::Fuzzing::FuzzOne(data, size);
}
