#include "StatusService.h"

#include "../HostBridge/HostConfiguration.h"

#include <KestrumException.h>
#include <SystemToolbox.h>
#include <Toolbox.h>

#include <cstdio>

namespace QuelbyCloud
{
  std::string FormatMegabytes(uint64_t bytes)
  {
    char text[64];
    snprintf(text, sizeof(text), "%0.1f", static_cast<double>(bytes) / 1048576.0);
    return text;
  }


  bool StatusService::HasReadableCertificates() const
  {
    const std::optional<std::string> path = HostConfiguration(host_).LookupStringOption("HttpsCACertificates");
    if (!path)
    {
      return false;
    }

    try
    {
      std::string content;
      Kestrum::ReadWholeFile(content, *path);
      return true;
    }
    catch (const Kestrum::KestrumException&)
    {
      return false;   // the exception has logged why
    }
  }


  Json::Value StatusService::GetStatus() const
  {
    Json::Value answer = Json::objectValue;

    if (HasReadableCertificates())
    {
      answer["HasCertificates"] = true;
    }

    const PluginState::Snapshot state = state_.GetSnapshot();
    if (state.activeServer)
    {
      // Only the public parameters: the headers carry credentials.
      Kestrum::SerializationToolbox::WriteStringMap(answer, state.activeServer->GetPublicParameters(), "ActiveServer");
    }
    answer["AutomatedRouting"] = state.automatedRouting;
    answer["AutomatedDeletion"] = state.automatedDeletion;

    answer["InstancesPending"] = static_cast<Json::UInt64>(pending_.GetSize());
    answer["InstancesSuccess"] = static_cast<Json::UInt64>(statistics_.GetSuccessCount());
    answer["InstancesError"] = static_cast<Json::UInt64>(statistics_.GetErrorCount());
    answer["TransferedSizeMB"] = FormatMegabytes(statistics_.GetTransferredBytes());
    return answer;
  }
}
