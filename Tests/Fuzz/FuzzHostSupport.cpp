// The test host side of the fuzz targets that drive the plug-in.
#include "FuzzSupport.h"

#include "FakeHost.h"

namespace QuelbyCloud
{
  namespace Fuzzing
  {
    void ResetHost()
    {
      Testing::FakeHost& host = Testing::FakeHost::Shared();
      host.Reset();
      Testing::FakeHost::ForgetAllocations();
    }


    void CheckHostMemory(const char* target)
    {
      const size_t live = Testing::FakeHost::LiveAllocations();
      const size_t bad = Testing::FakeHost::BadFrees();
      if (live != 0 || bad != 0)
      {
        Fail(target, "host memory: " + std::to_string(live) + " block(s) not given back, " +
             std::to_string(bad) + " bad free(s)");
      }
    }
  }
}
