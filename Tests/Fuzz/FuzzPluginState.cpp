// The stored state of the plug-in (global property 5467) as anything the
// database may hold: it is either taken whole, or refused with one warning
// and the defaults in its place; what was taken survives being stored and
// read again unchanged; host memory is always given back.

#include "FuzzSupport.h"

#include "FakeHost.h"

#include <Synchronization/PluginState.h>

namespace
{
  const char* const TARGET = "FuzzPluginState";
  const char* const REFUSED = "Quelby Cloud plugin: The stored state of the plugin cannot be read, "
                              "the defaults are used until the next change is stored";
}

int QuelbyCloud::Fuzzing::FuzzOne(const uint8_t* data, size_t size)
{
  Testing::FakeHost& host = ResetHost();
  host.SetGlobalProperty(PluginState::GLOBAL_PROPERTY, std::string(reinterpret_cast<const char*>(data), size));

  PluginState state(Bridge());
  state.LoadStored();
  const Json::Value loaded = state.ToJson();

  if (host.HasWarning(REFUSED))
  {
    FUZZ_CHECK(TARGET, size > 0, "an empty stored text was refused");
    FUZZ_CHECK(TARGET, loaded["AutomatedRouting"] == true && loaded["AutomatedDeletion"] == false &&
               !loaded.isMember("ActiveServer"), "a refused state was partly taken");
  }

  // Storing an unchanged state writes what the next start reads back.
  state.SetOptions({});
  const std::optional<std::string> stored = host.GetGlobalProperty(PluginState::GLOBAL_PROPERTY);
  FUZZ_CHECK(TARGET, stored.has_value(), "nothing was stored");

  host.Reset();
  host.SetGlobalProperty(PluginState::GLOBAL_PROPERTY, *stored);
  PluginState restarted(Bridge());
  restarted.LoadStored();
  FUZZ_CHECK(TARGET, !host.HasWarning(REFUSED), "the stored state cannot be read again");
  FUZZ_CHECK(TARGET, restarted.ToJson() == loaded, "storing then reading changed the state");

  CheckHostMemory(TARGET);
  return 0;
}
