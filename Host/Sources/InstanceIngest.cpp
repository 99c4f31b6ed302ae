#include "InstanceIngest.h"

namespace KestrumHost
{
  IngestResult InstanceIngest::Ingest(std::string_view bytes)
  {
    IngestResult result;
    if (!ParseDicom(bytes.data(), bytes.size(), result.dicom, result.reason))
    {
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
