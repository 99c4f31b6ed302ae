#include "InstanceIngest.h"

namespace KestrumHost
{
  IngestResult InstanceIngest::Ingest(std::string_view bytes, const std::string& requiredStudyUid)
  {
    IngestResult result;
    if (!ParseDicom(bytes.data(), bytes.size(), result.dicom, result.reason))
    {
      return result;
    }
    if (!requiredStudyUid.empty() && result.dicom.ids.studyInstanceUid != requiredStudyUid)
    {
      result.otherStudy = true;
      result.reason = "The instance belongs to the study " + result.dicom.ids.studyInstanceUid +
                      ", not to " + requiredStudyUid;
      return result;
    }
    result.store = storage_.Store(bytes, result.dicom);
    result.stored = true;
    for (const ChangeRecord& change : result.store.changes)
    {
      sink_(change);
    }
    return result;
  }

  bool InstanceIngest::Delete(const std::string& instanceId)
  {
    ChangeRecord change;
    if (!storage_.DeleteInstance(instanceId, change))
    {
      return false;
    }
    sink_(change);
    return true;
  }
}
