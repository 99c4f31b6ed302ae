#include "InstancesToSynchronize.h"

#include "../Destinations/ServerTypes.h"
#include "../HostBridge/HostConfiguration.h"
#include "../HostBridge/HostRestApi.h"
#include "../TransferClients/ITransferClient.h"

#include <KestrumException.h>
#include <Logging.h>
#include <Toolbox.h>

#include <algorithm>
#include <chrono>

namespace QuelbyCloud
{
  namespace
  {
    const char* const METADATA_SYNCHRONIZATION_UUID = "4455";

    std::string InstanceUri(const std::string& instanceId)
    {
      return "/instances/" + instanceId;
    }

    std::string MetadataUri(const std::string& instanceId)
    {
      return InstanceUri(instanceId) + "/metadata/" + METADATA_SYNCHRONIZATION_UUID;
    }

    std::string ReadSopInstanceUid(const Json::Value& instance)
    {
      if (!instance.isObject() ||
          !instance["MainDicomTags"].isObject() ||
          !instance["MainDicomTags"]["SOPInstanceUID"].isString())
      {
        throw Kestrum::KestrumException(Kestrum::ErrorCode_BadFileFormat);
      }
      return instance["MainDicomTags"]["SOPInstanceUID"].asString();
    }

    // An unreadable configuration means the host runs on its default port.
    unsigned int ReadHostHttpPort(const HostBridge& host)
    {
      try
      {
        return HostConfiguration(host).GetHttpPort();
      }
      catch (const Kestrum::KestrumException&)
      {
        return HostConfiguration().GetHttpPort();
      }
    }

    bool IsLocalUrlOnPort(const std::string& url, unsigned int port)
    {
      const std::optional<Kestrum::Toolbox::UrlAuthority> authority = Kestrum::Toolbox::ParseUrlAuthority(url);
      if (!authority)
      {
        return false;
      }

      std::optional<unsigned int> urlPort = authority->port;
      if (!urlPort)
      {
        if (authority->scheme == "http")
        {
          urlPort = 80;
        }
        else if (authority->scheme == "https")
        {
          urlPort = 443;
        }
      }
      return urlPort == port && Kestrum::Toolbox::IsLoopbackHost(authority->host);
    }
  }


  InstancesToSynchronize::InstancesToSynchronize(const HostBridge& host,
                                                 const ServerConfiguration& server,
                                                 bool automatedDeletion,
                                                 const std::string& synchronizationUuid) :
    host_(host),
    server_(server),
    automatedDeletion_(automatedDeletion),
    synchronizationUuid_(synchronizationUuid)
  {
  }


  std::unique_ptr<InstancesToSynchronize> InstancesToSynchronize::CreateBatch(const HostBridge& host,
                                                                              const PluginState& state)
  {
    const PluginState::Snapshot snapshot = state.GetSnapshot();
    if (!snapshot.activeServer)
    {
      return nullptr;
    }
    return std::make_unique<InstancesToSynchronize>(host, *snapshot.activeServer, snapshot.automatedDeletion,
                                                    snapshot.synchronizationUuid);
  }


  bool InstancesToSynchronize::AddInstance(const std::string& instanceId)
  {
    // Queued again (by a live change and a replay, or by repeated replays):
    // one copy per batch is enough, and a hammered replay stays cheap.
    if (std::any_of(instances_.begin(), instances_.end(),
                    [&instanceId](const Instance& instance) { return instance.id == instanceId; }))
    {
      return false;
    }

    // A vanished instance is skipped.
    const std::optional<Json::Value> instance = HostRestGet(host_, InstanceUri(instanceId), false);
    if (!instance)
    {
      return false;
    }

    // So is an instance already sent in this generation.
    const std::optional<std::string> stamp = HostRestGetString(host_, MetadataUri(instanceId), false);
    if (stamp == synchronizationUuid_)
    {
      return false;
    }

    const std::string sopInstanceUid = ReadSopInstanceUid(*instance);

    // And one whose file cannot be read.
    auto file = std::make_unique<HostBuffer>(host_);
    if (!HostRestGetBuffer(host_, InstanceUri(instanceId) + "/file", false, *file))
    {
      return false;
    }

    totalBytes_ += file->GetView().size();
    instances_.push_back({ instanceId, sopInstanceUid, std::move(file) });
    return true;
  }


  bool InstancesToSynchronize::MustKeepInstances() const
  {
    // A destination that is this very host (as the default URL of a
    // placeholder destination is) would receive the instances we are about
    // to delete: deleting them then loses them for good.
    const unsigned int hostPort = ReadHostHttpPort(host_);
    if (IsLocalUrlOnPort(server_.GetUrl(), hostPort))
    {
      LOG(ERROR) << "Quelby Cloud plugin: The destination " << server_.GetUrl()
                 << " is this Kestrum server itself (HTTP port " << hostPort
                 << "): the synchronized instances are marked instead of being deleted";
      return true;
    }
    return false;
  }


  void InstancesToSynchronize::MarkAsSynchronized(bool deleteInstances) const
  {
    for (const DeliveryLedger::Attempted& instance : attempted_)
    {
      if (report_.confirmed.count(instance.sopInstanceUid) == 0)
      {
        continue;   // the destination does not have it: a later attempt will send it again
      }

      // The destination has the instance: a host refusal here must neither
      // turn the batch into a failure nor leave the other instances unmarked.
      try
      {
        if (deleteInstances)
        {
          HostRestDelete(host_, InstanceUri(instance.id), false);
        }
        else
        {
          HostRestPut(host_, MetadataUri(instance.id), std::string_view(synchronizationUuid_), false);
        }
      }
      catch (const Kestrum::KestrumException& e)
      {
        LOG(WARNING) << "Quelby Cloud plugin: Cannot " << (deleteInstances ? "delete" : "mark")
                     << " the synchronized instance " << instance.id << ": " << e.GetDescription();
      }
    }
  }


  bool InstancesToSynchronize::Synchronize()
  {
    const size_t count = instances_.size();
    const uint64_t bytes = totalBytes_;

    attempted_.clear();
    report_ = DeliveryReport();
    for (const Instance& instance : instances_)
    {
      attempted_.push_back({ instance.id, instance.sopInstanceUid, instance.file->GetView().size() });
    }

    if (count == 0)
    {
      return true;
    }

    bool success;
    try
    {
      std::unique_ptr<ITransferClient> client = CreateTransferClient(host_, server_);

      // Each file is freed once its client is done with it: memory stays bounded by the batch.
      client->Reserve(count, bytes);
      client->SetCatchingUp(catchingUp_);
      for (Instance& instance : instances_)
      {
        std::shared_ptr<const HostBuffer> file = std::move(instance.file);
        client->AddInstance(instance.sopInstanceUid, SharedFile{ file, file->GetView() });
      }

      LOG(WARNING) << "Quelby Cloud plugin: Starting the synchronization of " << count
                   << " DICOM instance(s) (" << bytes << " bytes)";

      // Only the transmission is timed.
      const auto start = std::chrono::steady_clock::now();
      success = client->Send();
      const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start).count();

      report_ = client->GetReport();
      client.reset();

      // Only what the destination confirmed is marked, even when the rest failed.
      if (!report_.confirmed.empty())
      {
        MarkAsSynchronized(automatedDeletion_ && !MustKeepInstances());
      }

      if (success)
      {
        LOG(WARNING) << "Quelby Cloud plugin: Sucessfully synchronized " << count
                     << " DICOM instance(s) (" << bytes << " bytes), in " << elapsed << "ms";
      }
      else
      {
        LOG(ERROR) << "Quelby Cloud plugin: Error during synchronization of " << count
                   << " DICOM instance(s) (" << bytes << " bytes), after " << elapsed << "ms";
        LogCauses(count);
      }
    }
    catch (...)
    {
      Clear();
      throw;
    }

    Clear();
    return success;
  }


  void InstancesToSynchronize::LogCauses(size_t count) const
  {
    const size_t confirmed = std::count_if(attempted_.begin(), attempted_.end(), [this](const auto& instance)
    {
      return report_.confirmed.count(instance.sopInstanceUid) != 0;
    });
    LOG(ERROR) << "Quelby Cloud plugin: " << confirmed << " of " << count
               << " DICOM instance(s) confirmed by the destination; "
               << (report_.failure.empty() ? std::string("the others were refused") : "cause: " + report_.failure);
    for (const auto& [uid, reason] : report_.refused)
    {
      LOG(ERROR) << "Quelby Cloud plugin: The destination refused the SOP Instance UID " << uid << ": " << reason;
    }
  }


  void InstancesToSynchronize::Clear()
  {
    std::vector<Instance>().swap(instances_);
    totalBytes_ = 0;
  }
}
