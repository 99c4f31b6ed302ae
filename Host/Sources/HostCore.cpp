#include "HostCore.h"

#include "HostError.h"
#include "HostLog.h"

#include <json/writer.h>

namespace KestrumHost
{
  namespace
  {
    std::string SerializeConfiguration(const Json::Value& configuration)
    {
      Json::StreamWriterBuilder builder;
      builder["indentation"] = "  ";
      return Json::writeString(builder, configuration);
    }
  }

  HostCore::HostCore(const HostConfig& config) :
    config_(config),
    configurationJson_(SerializeConfiguration(config.raw)),
    storage_(config.storageDirectory),
    httpClient_(config_),
    plugins_(*this, config_.version),
    dispatcher_([this](int32_t changeType, int32_t resourceType, const std::string& id)
                {
                  plugins_.NotifyChange(changeType, resourceType, id);
                }),
    ingest_(storage_, [this](const ChangeRecord& change)
            {
              dispatcher_.Post(change.changeType, change.resourceType, change.resourceId);
            }),
    api_(config_, storage_, ingest_, plugins_)
  {
    if (config_.dicomWebEnabled)
    {
      dicomWeb_ = std::make_unique<DicomWebService>(config_, storage_, ingest_);
    }
  }

  void HostCore::LoadPlugins()
  {
    plugins_.Load(config_.plugins);
  }

  bool HostCore::InitializePlugins()
  {
    return plugins_.InitializeAll();
  }

  void HostCore::Started()
  {
    dispatcher_.Post(KestrumChangeType_KestrumStarted, KestrumResourceType_None, "");
    dispatcher_.Start();
  }

  void HostCore::Stopping()
  {
    dispatcher_.StopAfter(KestrumChangeType_KestrumStopped, KestrumResourceType_None, "");
  }

  void HostCore::FinalizePlugins()
  {
    plugins_.FinalizeAll();
  }

  void HostCore::HandleRest(const RestRequest& request, bool withPlugins, RestAnswer& answer)
  {
    try
    {
      if (withPlugins)
      {
        if (plugins_.HandleRoute(request, answer))
        {
          return;
        }
        if (dicomWeb_ && dicomWeb_->Handle(request, answer))
        {
          return;
        }
      }
      api_.Handle(request, answer);
    }
    catch (const HostError& e)
    {
      LogError(std::string(MethodName(request.method)) + " " + request.path + ": " + e.what());
      answer.headers.clear();
      answer.SetError(e.GetCode(), e.what());
    }
    catch (const std::bad_alloc&)
    {
      answer.headers.clear();
      answer.SetError(Kestrum::ErrorCode_NotEnoughMemory);
    }
    catch (const std::exception& e)
    {
      LogError(std::string(MethodName(request.method)) + " " + request.path + ": " + e.what());
      answer.headers.clear();
      answer.SetError(Kestrum::ErrorCode_InternalError, e.what());
    }
  }

  std::string HostCore::GetConfigurationJson()
  {
    return configurationJson_;
  }

  bool HostCore::GetGlobalProperty(int property, std::string& value)
  {
    return storage_.GetGlobalProperty(property, value);
  }

  void HostCore::SetGlobalProperty(int property, const std::string& value)
  {
    storage_.SetGlobalProperty(property, value);
  }

  Kestrum::ErrorCode HostCore::CallHttpClient(const OutgoingRequest& request, OutgoingAnswer& answer)
  {
    std::string error;
    Kestrum::ErrorCode code = httpClient_.Execute(request, answer, error);
    if (code != Kestrum::ErrorCode_Success)
    {
      LogWarning(error);
    }
    return code;
  }
}
