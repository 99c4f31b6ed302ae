#pragma once

#include <Logging.h>
#include <Plugins/KestrumPluginInterface.h>

#include <string>

namespace QuelbyCloud
{
  /**
   * The plug-in's one way into the host: the context record the host handed
   * over at initialization, its services, its free function and its log.
   * Usable from any thread; owns nothing that needs locking.
   */
  class HostBridge : public Kestrum::Logging::ILogSink
  {
  private:
    KestrumPluginContext* context_;

  public:
    /** NullPointer for a null context. */
    explicit HostBridge(KestrumPluginContext* context);

    HostBridge(const HostBridge&) = delete;
    HostBridge& operator=(const HostBridge&) = delete;

    /** The host's version text ("" when it gave none). */
    const char* GetHostVersion() const;

    /** The service's own result: 0 on success, else a host error code. */
    KestrumErrorCode TryInvoke(KestrumService service, const void* params) const;

    /** The service, a failure thrown as a KestrumException with the host's code. */
    void Invoke(KestrumService service, const void* params) const;

    /** Gives a block that the host allocated back to the host. */
    void Free(void* block) const;

    /** Sends the text at once to the host's log at error level. */
    void LogError(const std::string& text) const;

    void WriteLine(Kestrum::Logging::LogLevel level, const std::string& text) override;
  };


  /** True when the host's version text is "mainline" or reads as major.minor.revision at or above the given one. */
  bool CheckHostVersion(const char* hostVersion, int major, int minor, int revision);
}
