#pragma once

#include "Storage.h"

#include <json/value.h>

#include <vector>

namespace KestrumHost
{
  /** Name of a change type as it appears in the change log ("NewInstance", ...). */
  const char* ChangeTypeName(int32_t changeType);

  /** REST path of a resource ("/instances/ID", ...). */
  std::string ResourcePath(int32_t resourceType, const std::string& id);

  /** The default and largest page sizes of GET /changes. */
  enum : unsigned int
  {
    ChangesDefaultLimit = 100,
    ChangesMaximumLimit = 10000
  };

  /**
   * Builds one page of the change log: {"Changes", "Done", "Last"}. "fetched" holds the
   * changes after the cursor, in order, one more than "limit" when more exist, which is
   * how "Done" is known without a second query. An empty page reports the log's last
   * sequence number so that a caller following "Last" never goes backwards.
   */
  Json::Value FormatChangesPage(const std::vector<ChangeRecord>& fetched, unsigned int limit, int64_t lastSeqInLog);
}
