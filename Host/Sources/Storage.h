#pragma once

#include "DicomParser.h"
#include "HostBlock.h"

#include <json/value.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

namespace KestrumHost
{
  class StatementCache;

  struct ChangeRecord
  {
    int64_t seq = 0;
    int32_t changeType = 0;    // KestrumChangeType
    int32_t resourceType = 0;  // KestrumResourceType
    std::string resourceId;
    std::string date;          // YYYYMMDDTHHMMSS, UTC
  };

  struct StoreResult
  {
    bool alreadyStored = false;
    std::string instanceId;
    std::string seriesId;
    std::string studyId;
    std::string patientId;
    std::vector<ChangeRecord> changes;  // recorded by this store, in order
  };

  struct InstanceRecord
  {
    std::string id;
    std::string seriesId;
    std::string studyId;
    std::string patientId;
    int64_t fileSize = 0;
    Json::Value tags;  // {"Patient": {...}, "Study": {...}, "Series": {...}, "Instance": {...}}
  };

  struct StudyRecord
  {
    std::string studyId;
    Json::Value patientTags;
    Json::Value studyTags;
    int64_t instanceCount = 0;
  };

  /**
   * DICOM files on disk plus an SQLite index (WAL mode) holding the instances,
   * their metadata, the change log, global properties and the remote registries.
   * A file is complete before it gets its final name, and named before its
   * index row is committed, so an abrupt stop can leave a stray file but never
   * a row without its file.
   */
  class Storage
  {
  private:
    std::string directory_;
    sqlite3* db_ = nullptr;
    mutable std::mutex mutex_;  // one connection, used by one thread at a time
    std::unique_ptr<StatementCache> statements_;  // guarded by mutex_

    void Execute(const char* sql);
    /** A file written whole but without a name yet; closed by NameFile, or on destruction. */
    struct UnnamedFile
    {
      int fd = -1;
      UnnamedFile() = default;
      UnnamedFile(const UnnamedFile&) = delete;
      UnnamedFile& operator=(const UnnamedFile&) = delete;
      UnnamedFile(UnnamedFile&& other) noexcept : fd(other.fd) { other.fd = -1; }
      ~UnnamedFile();
    };

    std::string FolderPath(const std::string& instanceId) const;
    std::string FilePath(const std::string& instanceId) const;
    bool IsStored(const std::string& id) const;   // a well-formed ID that the index holds
    UnnamedFile WriteUnnamedFile(const std::string& folder, std::string_view bytes) const;
    void NameFile(UnnamedFile& file, const std::string& path);
    std::string WriteTemporaryFile(std::string_view bytes) const;
    void MoveIntoStorage(const std::string& temporary, const std::string& instanceId);
    void IndexLocked(StoreResult& result, size_t fileSize, const Json::Value& tags);
    ChangeRecord RecordChangeLocked(int32_t changeType, int32_t resourceType, const std::string& id);
    bool ExistsLocked(const char* sql, const std::string& value);

  public:
    /** Opens (creating if needed) the storage folder and its index. Throws HostError. */
    explicit Storage(const std::string& directory);
    ~Storage();

    Storage(const Storage&) = delete;
    Storage& operator=(const Storage&) = delete;

    StoreResult Store(std::string_view bytes, const ParsedDicom& dicom);
    bool GetInstance(const std::string& id, InstanceRecord& record) const;
    std::vector<std::string> ListInstances() const;
    bool ReadFile(const std::string& id, std::string& content) const;
    bool ReadFile(const std::string& id, HostBlock& content) const;   // the same, read straight into the block

    /** Removes the instance; returns false when unknown. The recorded change is returned. */
    bool DeleteInstance(const std::string& id, ChangeRecord& change);

    /** Metadata; false when the instance (or for Get/Delete, the key) does not exist. */
    bool ListMetadata(const std::string& id, std::vector<int>& keys) const;
    bool GetMetadata(const std::string& id, int key, std::string& value) const;
    bool SetMetadata(const std::string& id, int key, const std::string& value);
    bool DeleteMetadata(const std::string& id, int key);

    bool GetGlobalProperty(int property, std::string& value) const;
    void SetGlobalProperty(int property, const std::string& value);

    ChangeRecord RecordChange(int32_t changeType, int32_t resourceType, const std::string& id);

    /** At most "count" changes with a sequence number above "since", in order. */
    std::vector<ChangeRecord> ReadChanges(int64_t since, unsigned int count) const;
    int64_t GetLastChangeSeq() const;

    /** Named definitions (JSON texts) of one registry ("peers", "dicomweb-servers"). */
    std::vector<std::string> ListRemotes(const std::string& registry) const;
    bool GetRemote(const std::string& registry, const std::string& name, std::string& definition) const;
    void PutRemote(const std::string& registry, const std::string& name, const std::string& definition);
    bool DeleteRemote(const std::string& registry, const std::string& name);

    std::vector<StudyRecord> ListStudies(unsigned int limit, unsigned int offset) const;

    /**
     * The instances, in the order they were stored, narrowed to one study,
     * series or instance by the UIDs that are not empty.
     */
    std::vector<InstanceRecord> FindInstances(const std::string& studyUid, const std::string& seriesUid,
                                              const std::string& sopInstanceUid) const;

    /** Appends the stored file to `target`; false when the instance (or its file) is gone. */
    bool AppendFile(const std::string& id, std::string& target) const;
  };
}
