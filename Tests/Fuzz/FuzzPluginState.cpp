// The stored state of the plug-in (global property 5467) as anything the
// database may hold: Load either takes it or refuses it with "Bad file
// format"; what it took survives Save and a second Load unchanged; host
// memory is always given back.

#include "FuzzSupport.h"

#include "FakeHost.h"

#include <KestrumException.h>
#include <Synchronization/PluginState.h>

#include <mutex>

namespace
{
  const char* const TARGET = "FuzzPluginState";
}

int QuelbyCloud::Fuzzing::FuzzOne(const uint8_t* data, size_t size)
{
  ResetHost();
  Testing::FakeHost& host = Testing::FakeHost::Shared();
  host.SetGlobalProperty(PluginState::GLOBAL_PROPERTY, std::string(reinterpret_cast<const char*>(data), size));

  PluginState& state = PluginState::GetInstance();
  std::lock_guard<std::mutex> lock(state.GetMutex());

  try
  {
    state.Load();
  }
  catch (const Kestrum::KestrumException& e)
  {
    FUZZ_CHECK(TARGET, e.GetErrorCode() == Kestrum::ErrorCode_BadFileFormat,
               std::string("Load refused with code ") + std::to_string(e.GetErrorCode()));
    CheckHostMemory(TARGET);
    return 0;
  }

  if (size == 0)
  {
    FUZZ_CHECK(TARGET, state.IsAutomatedRouting() && !state.IsAutomatedDeletion() && !state.HasActiveServer(),
               "an empty stored text did not give the defaults");
  }

  Json::Value loaded;
  state.ToJson(loaded);

  state.Save();
  const std::optional<std::string> saved = host.GetGlobalProperty(PluginState::GLOBAL_PROPERTY);
  FUZZ_CHECK(TARGET, saved.has_value(), "Save stored nothing");

  try
  {
    state.Load();
  }
  catch (const Kestrum::KestrumException& e)
  {
    Fail(TARGET, std::string("the state saved by Save cannot be loaded again: code ") +
         std::to_string(e.GetErrorCode()));
  }

  Json::Value reloaded;
  state.ToJson(reloaded);
  FUZZ_CHECK(TARGET, reloaded == loaded, "Save then Load changed the state");

  CheckHostMemory(TARGET);
  return 0;
}
