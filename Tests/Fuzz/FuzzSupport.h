// Shared by every fuzz target. Each target defines FuzzOne; the libFuzzer
// entry (FuzzerMain.cpp) and the file replayer (ReplayMain.cpp) both call it,
// so a crash found by clang's fuzzer replays in the normal gcc build.
#pragma once

#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace QuelbyCloud
{
  class HostBridge;

  namespace Testing
  {
    class FakeHost;
  }

  namespace Fuzzing
  {
    /** The target's logic for one input; returns 0 (libFuzzer's convention). */
    int FuzzOne(const uint8_t* data, size_t size);

    /** Reports a broken invariant with the input's size and aborts, so both mains see a crash. */
    [[noreturn]] void Fail(const char* target, const std::string& what);

    /**
     * An independent reading of the input as JSON (not the plug-in's reader),
     * used by the checks to know what the input said. False when it is not
     * JSON or nests deeper than jsoncpp allows.
     */
    bool ParseIndependently(Json::Value& target, const uint8_t* data, size_t size);

    /** The test host of the target's process, with every record and script forgotten. */
    Testing::FakeHost& ResetHost();

    /** The bridge to that host; the framework's log lines go to it. */
    const HostBridge& Bridge();

    /** Host memory handed out and not given back (or freed twice) since the last ResetHost. */
    void CheckHostMemory(const char* target);
  }
}

#define FUZZ_CHECK(target, condition, what)                   \
  do                                                          \
  {                                                           \
    if (!(condition))                                         \
    {                                                         \
      ::QuelbyCloud::Fuzzing::Fail(target, what);             \
    }                                                         \
  } while (false)
