#include "ChangesPage.h"

#include <Plugins/KestrumPluginInterface.h>

namespace KestrumHost
{
  const char* ChangeTypeName(int32_t changeType)
  {
    switch (changeType)
    {
      case KestrumChangeType_CompletedSeries: return "CompletedSeries";
      case KestrumChangeType_Deleted: return "Deleted";
      case KestrumChangeType_NewChildInstance: return "NewChildInstance";
      case KestrumChangeType_NewInstance: return "NewInstance";
      case KestrumChangeType_NewPatient: return "NewPatient";
      case KestrumChangeType_NewSeries: return "NewSeries";
      case KestrumChangeType_NewStudy: return "NewStudy";
      case KestrumChangeType_StablePatient: return "StablePatient";
      case KestrumChangeType_StableSeries: return "StableSeries";
      case KestrumChangeType_StableStudy: return "StableStudy";
      case KestrumChangeType_KestrumStarted: return "KestrumStarted";
      case KestrumChangeType_KestrumStopped: return "KestrumStopped";
      default: return "Unknown";
    }
  }

  std::string ResourcePath(int32_t resourceType, const std::string& id)
  {
    switch (resourceType)
    {
      case KestrumResourceType_Patient: return "/patients/" + id;
      case KestrumResourceType_Study: return "/studies/" + id;
      case KestrumResourceType_Series: return "/series/" + id;
      case KestrumResourceType_Instance: return "/instances/" + id;
      default: return "";
    }
  }

  namespace
  {
    const char* ResourceTypeName(int32_t resourceType)
    {
      switch (resourceType)
      {
        case KestrumResourceType_Patient: return "Patient";
        case KestrumResourceType_Study: return "Study";
        case KestrumResourceType_Series: return "Series";
        case KestrumResourceType_Instance: return "Instance";
        default: return "None";
      }
    }
  }

  Json::Value FormatChangesPage(const std::vector<ChangeRecord>& fetched, unsigned int limit, int64_t lastSeqInLog)
  {
    size_t count = std::min<size_t>(fetched.size(), limit);

    Json::Value page(Json::objectValue);
    page["Changes"] = Json::Value(Json::arrayValue);
    for (size_t i = 0; i < count; i++)
    {
      const ChangeRecord& change = fetched[i];
      Json::Value item(Json::objectValue);
      item["Seq"] = Json::Int64(change.seq);
      item["ChangeType"] = ChangeTypeName(change.changeType);
      item["ResourceType"] = ResourceTypeName(change.resourceType);
      item["ID"] = change.resourceId;
      item["Path"] = ResourcePath(change.resourceType, change.resourceId);
      item["Date"] = change.date;
      page["Changes"].append(item);
    }
    page["Done"] = (fetched.size() <= limit);
    page["Last"] = Json::Int64(count > 0 ? fetched[count - 1].seq : lastSeqInLog);
    return page;
  }
}
