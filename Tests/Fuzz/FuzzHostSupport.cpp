// The test host side of the fuzz targets that drive the plug-in.
#include "FuzzSupport.h"

#include "FakeHost.h"

#include <HostBridge/HostBridge.h>

namespace QuelbyCloud
{
  namespace Fuzzing
  {
    namespace
    {
      // One host for the whole run, never destroyed: a fuzzer calls FuzzOne until the process ends.
      struct Harness
      {
        Testing::FakeHost host;
        HostBridge bridge{host.GetContext()};
      };

      Harness& GetHarness()
      {
        static Harness* harness = new Harness;
        return *harness;
      }
    }


    Testing::FakeHost& ResetHost()
    {
      Harness& harness = GetHarness();
      Testing::FakeHost& host = harness.host;
      host.Reset();
      Kestrum::Logging::SetSink(&harness.bridge);   // a plug-in started by the last input took it
      Testing::FakeHost::ForgetAllocations();
      return host;
    }


    const HostBridge& Bridge()
    {
      return GetHarness().bridge;
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
