#include "InstancesToSynchronize.h"

#include "LoopbackDestination.h"
#include "PluginState.h"
#include "../HostBridge/HostRestApi.h"
#include "../TransferClients/ITransferClient.h"

#include <KestrumException.h>
#include <Logging.h>

#include <chrono>
#include <mutex>

namespace QuelbyCloud
{
  static const char* const METADATA_SYNCHRONIZATION_UUID = "4455";


  static std::string InstanceUri(const std::string& instanceId)
  {
    return "/instances/" + instanceId;
  }


  static std::string MetadataUri(const std::string& instanceId)
  {
    return InstanceUri(instanceId) + "/metadata/" + METADATA_SYNCHRONIZATION_UUID;
  }


  InstancesToSynchronize::InstancesToSynchronize(const ServerConfiguration& server,
                                                 bool automatedDeletion,
                                                 const std::string& synchronizationUuid) :
    server_(server),
    automatedDeletion_(automatedDeletion),
    synchronizationUuid_(synchronizationUuid),
    totalBytes_(0)
  {
  }


  std::unique_ptr<InstancesToSynchronize> InstancesToSynchronize::CreateBatch()
  {
    PluginState& state = PluginState::GetInstance();
    std::lock_guard<std::mutex> lock(state.GetMutex());

    if (!state.HasActiveServer())
    {
      return nullptr;
    }

    // Copies: later changes of the state do not affect this batch.
    return std::unique_ptr<InstancesToSynchronize>(
      new InstancesToSynchronize(state.GetActiveServer(),
                                 state.IsAutomatedDeletion(),
                                 state.GetSynchronizationUuid()));
  }


  void InstancesToSynchronize::AddInstance(const std::string& instanceId)
  {
    // 1. A vanished instance is skipped.
    Json::Value instance;
    if (!HostRestGet(instance, InstanceUri(instanceId), false))
    {
      return;
    }

    // 2. An instance already sent in this generation is skipped.
    std::string stamp;
    if (HostRestGetString(stamp, MetadataUri(instanceId), false) &&
        stamp == synchronizationUuid_)
    {
      return;
    }

    // 3. The SOP Instance UID from the instance's description.
    if (instance.type() != Json::objectValue ||
        !instance.isMember("MainDicomTags") ||
        instance["MainDicomTags"].type() != Json::objectValue ||
        !instance["MainDicomTags"].isMember("SOPInstanceUID") ||
        instance["MainDicomTags"]["SOPInstanceUID"].type() != Json::stringValue)
    {
      throw Kestrum::KestrumException(Kestrum::ErrorCode_BadFileFormat);
    }

    const std::string sopInstanceUid = instance["MainDicomTags"]["SOPInstanceUID"].asString();

    // 4. An unreadable file is skipped.
    std::string file;
    if (!HostRestGetString(file, InstanceUri(instanceId) + "/file", false))
    {
      return;
    }

    // 5. Append.
    totalBytes_ += file.size();
    instanceIds_.push_back(instanceId);
    sopInstanceUids_.push_back(sopInstanceUid);
    files_.push_back(std::string());
    files_.back().swap(file);
  }


  bool InstancesToSynchronize::MustKeepInstances() const
  {
    // A destination that is this very host (as the default URL of a
    // placeholder destination is) would receive the instances we are about
    // to delete: deleting them then loses them for good.
    const unsigned int hostPort = ReadHostHttpPort();
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
    for (const std::string& instanceId : instanceIds_)
    {
      // The destination has the instance: a host refusal here must neither
      // turn the batch into a failure nor leave the other instances unmarked.
      try
      {
        if (deleteInstances)
        {
          HostRestDelete(InstanceUri(instanceId), false);
        }
        else
        {
          Json::Value answer;
          HostRestPut(answer, MetadataUri(instanceId),
                      synchronizationUuid_.c_str(), synchronizationUuid_.size(), false);
        }
      }
      catch (const Kestrum::KestrumException& e)
      {
        LOG(WARNING) << "Quelby Cloud plugin: Cannot " << (deleteInstances ? "delete" : "mark")
                     << " the synchronized instance " << instanceId << ": " << e.GetDescription();
      }
    }
  }


  bool InstancesToSynchronize::Synchronize()
  {
    const size_t count = instanceIds_.size();
    const uint64_t bytes = totalBytes_;

    // 1. Nothing to send.
    if (count == 0)
    {
      return true;
    }

    bool success;

    try
    {
      // 2. The client of the batch's server.
      std::unique_ptr<ITransferClient> client = server_.CreateTransferClient();

      // 3. Hand over each file, freeing it at once: memory stays bounded by the batch.
      for (size_t i = 0; i < count; i++)
      {
        client->AddInstance(sopInstanceUids_[i], files_[i]);
        std::string().swap(files_[i]);
      }

      // 4.
      LOG(WARNING) << "Quelby Cloud plugin: Starting the synchronization of " << count
                   << " DICOM instance(s) (" << bytes << " bytes)";

      // 5. Only the transmission is timed.
      const auto start = std::chrono::steady_clock::now();
      success = client->Send();
      const auto end = std::chrono::steady_clock::now();
      const long long elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(end - start).count();

      client.reset();

      if (success)
      {
        // 6. Only now that the destination confirmed it, mark the instances.
        MarkAsSynchronized(automatedDeletion_ && !MustKeepInstances());

        LOG(WARNING) << "Quelby Cloud plugin: Sucessfully synchronized " << count
                     << " DICOM instance(s) (" << bytes << " bytes), in " << elapsed << "ms";
      }
      else
      {
        // 7.
        LOG(ERROR) << "Quelby Cloud plugin: Error during synchronization of " << count
                   << " DICOM instance(s) (" << bytes << " bytes), after " << elapsed << "ms";
      }
    }
    catch (...)
    {
      Clear();
      throw;
    }

    // 8.
    Clear();
    return success;
  }


  void InstancesToSynchronize::Clear()
  {
    instanceIds_.clear();
    sopInstanceUids_.clear();
    std::vector<std::string>().swap(files_);
    totalBytes_ = 0;
  }
}
