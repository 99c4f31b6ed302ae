#include "Storage.h"

#include "HostError.h"
#include "HostLog.h"

#include <KestrumException.h>
#include <Plugins/KestrumPluginInterface.h>
#include <SystemToolbox.h>
#include <Toolbox.h>

#include <sqlite3.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <random>
#include <unordered_map>
#include <utility>
#include <sys/stat.h>
#include <unistd.h>

namespace KestrumHost
{
  /**
   * The prepared statements of the one connection, each kept for the next
   * use of the same text: preparing them anew made up a tenth of the cost
   * of storing an instance.
   */
  class StatementCache
  {
  private:
    std::unordered_map<std::string, sqlite3_stmt*> idle_;   // nullptr: in use

  public:
    sqlite3* const db;

    explicit StatementCache(sqlite3* connection) : db(connection) {}

    StatementCache(const StatementCache&) = delete;
    StatementCache& operator=(const StatementCache&) = delete;

    ~StatementCache()
    {
      for (const auto& entry : idle_)
      {
        sqlite3_finalize(entry.second);
      }
    }

    sqlite3_stmt* Take(const char* sql)
    {
      auto found = idle_.find(sql);
      if (found != idle_.end() && found->second != nullptr)
      {
        return std::exchange(found->second, nullptr);
      }
      sqlite3_stmt* statement = nullptr;
      if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK)
      {
        sqlite3_finalize(statement);
        throw HostError(Kestrum::ErrorCode_Database, std::string("SQLite: ") + sqlite3_errmsg(db));
      }
      return statement;
    }

    /** Back for the next use; a second one of the same text (used nested) is finalized. */
    void Give(const char* sql, sqlite3_stmt* statement)
    {
      sqlite3_reset(statement);
      sqlite3_clear_bindings(statement);
      sqlite3_stmt*& slot = idle_[sql];
      if (slot == nullptr)
      {
        slot = statement;
      }
      else
      {
        sqlite3_finalize(statement);
      }
    }
  };

  namespace
  {
    /** One statement of the cache, given back (reset) on every path. */
    class Statement
    {
    private:
      StatementCache& cache_;
      const char* sql_;
      sqlite3_stmt* stmt_;

    public:
      Statement(StatementCache& cache, const char* sql) :
        cache_(cache),
        sql_(sql),
        stmt_(cache.Take(sql))
      {
      }

      Statement(const Statement&) = delete;
      Statement& operator=(const Statement&) = delete;

      ~Statement()
      {
        cache_.Give(sql_, stmt_);
      }

      Statement& Bind(int index, const std::string& text)
      {
        sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        return *this;
      }

      Statement& BindBlob(int index, const std::string& bytes)
      {
        sqlite3_bind_blob(stmt_, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
        return *this;
      }

      Statement& Bind(int index, int64_t value)
      {
        sqlite3_bind_int64(stmt_, index, value);
        return *this;
      }

      /** True while a row is available. */
      bool Step()
      {
        int status = sqlite3_step(stmt_);
        if (status == SQLITE_ROW)
        {
          return true;
        }
        if (status == SQLITE_DONE)
        {
          return false;
        }
        throw HostError(Kestrum::ErrorCode_Database, std::string("SQLite: ") + sqlite3_errmsg(cache_.db));
      }

      std::string Text(int column) const
      {
        const void* data = sqlite3_column_blob(stmt_, column);
        int size = sqlite3_column_bytes(stmt_, column);
        return data ? std::string(static_cast<const char*>(data), size) : std::string();
      }

      int64_t Int(int column) const
      {
        return sqlite3_column_int64(stmt_, column);
      }
    };

    /** Groups statements into one transaction; rolled back unless committed. */
    class Transaction
    {
    private:
      StatementCache& cache_;
      bool done_ = false;

    public:
      explicit Transaction(StatementCache& cache) : cache_(cache)
      {
        Statement(cache_, "BEGIN IMMEDIATE").Step();
      }

      void Commit()
      {
        Statement(cache_, "COMMIT").Step();
        done_ = true;
      }

      ~Transaction()
      {
        if (!done_)
        {
          sqlite3_exec(cache_.db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
      }
    };

    std::string NowAsDicomDateTime()
    {
      std::time_t now = std::time(nullptr);
      std::tm utc;
      gmtime_r(&now, &utc);
      char text[32];
      std::strftime(text, sizeof(text), "%Y%m%dT%H%M%S", &utc);
      return text;
    }

    /** Stored JSON is written by the host itself: text that does not read back is taken as empty. */
    Json::Value ReadStoredJson(const std::string& text)
    {
      return Kestrum::Toolbox::ReadJson(text).value_or(Json::Value(Json::objectValue));
    }

    void MakeDirectory(const std::string& path)
    {
      if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
      {
        throw HostError(Kestrum::ErrorCode_FileStorageCannotWrite,
                        "Cannot create the directory " + path + ": " + std::strerror(errno));
      }
    }

    bool WriteAll(int fd, std::string_view content)
    {
      size_t written = 0;
      while (written < content.size())
      {
        ssize_t n = write(fd, content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR)
        {
          continue;
        }
        if (n < 0)
        {
          return false;
        }
        written += static_cast<size_t>(n);
      }
      return true;
    }

    /**
     * The whole file into a block of its size, read straight into it; false when
     * it is gone (deleted between the index look-up and the read).
     */
    bool ReadWholeFile(const std::string& path, HostBlock& content)
    {
      const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0)
      {
        if (errno == ENOENT)
        {
          return false;
        }
        throw HostError(Kestrum::ErrorCode_InexistentFile, "Cannot read a stored file");
      }
      struct stat status;
      if (fstat(fd, &status) != 0)
      {
        close(fd);
        throw HostError(Kestrum::ErrorCode_InexistentFile, "Cannot read a stored file");
      }
      if (!S_ISREG(status.st_mode))
      {
        close(fd);
        return false;   // not a file the storage wrote: as if gone
      }

      const size_t size = static_cast<size_t>(status.st_size);
      HostBlock block;
      block.data.reset(static_cast<char*>(std::malloc(size == 0 ? 1 : size)));
      size_t done = 0;
      while (block.data && done < size)
      {
        const ssize_t n = read(fd, block.data.get() + done, size - done);
        if (n < 0 && errno == EINTR)
        {
          continue;
        }
        if (n <= 0)
        {
          break;   // an error, or the file shrank while it was read: what was read is not the file
        }
        done += static_cast<size_t>(n);
      }
      close(fd);
      if (!block.data)
      {
        throw HostError(Kestrum::ErrorCode_NotEnoughMemory, "Cannot read a stored file");
      }
      if (done != size)
      {
        throw HostError(Kestrum::ErrorCode_InexistentFile, "Cannot read a stored file");
      }
      block.size = size;
      content = std::move(block);
      return true;
    }

    /** Writes the whole content to a fresh file; false on any failure (the file is then removed). */
    bool WriteWholeFile(const std::string& path, std::string_view content)
    {
      int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd < 0)
      {
        return false;
      }
      if (!WriteAll(fd, content))
      {
        close(fd);
        unlink(path.c_str());
        return false;
      }
      if (close(fd) != 0)
      {
        unlink(path.c_str());
        return false;
      }
      return true;
    }

    /** Files of uploads cut short by an abrupt stop: never indexed, so nothing refers to them. */
    void RemoveLeftovers(const std::string& folder)
    {
      std::error_code error;
      for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end;
           entry.increment(error))
      {
        const std::string name = entry->path().filename().string();
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0)
        {
          std::error_code ignored;   // a leftover that cannot be removed harms nothing
          std::filesystem::remove(entry->path(), ignored);
        }
      }
    }

    std::string UniqueTemporaryName()
    {
      static std::atomic<uint64_t> counter{0};
      static const uint64_t salt = std::random_device{}();
      return std::to_string(getpid()) + "-" + std::to_string(salt) + "-" + std::to_string(counter++) + ".tmp";
    }
  }

  Storage::Storage(const std::string& directory) :
    directory_(directory)
  {
    MakeDirectory(directory_);
    MakeDirectory(directory_ + "/tmp");
    RemoveLeftovers(directory_ + "/tmp");
    std::string indexPath = directory_ + "/index.sqlite";
    if (sqlite3_open_v2(indexPath.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr) != SQLITE_OK)
    {
      std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      db_ = nullptr;
      throw HostError(Kestrum::ErrorCode_SQLiteNotOpened, "Cannot open the index " + indexPath + ": " + message);
    }
    statements_ = std::make_unique<StatementCache>(db_);
    sqlite3_busy_timeout(db_, 10000);
    Execute("PRAGMA journal_mode=WAL");
    Execute("PRAGMA synchronous=NORMAL");
    Execute("CREATE TABLE IF NOT EXISTS instances("
            "id TEXT PRIMARY KEY, series_id TEXT, study_id TEXT, patient_id TEXT,"
            "file_size INTEGER, tags TEXT)");
    Execute("CREATE INDEX IF NOT EXISTS instances_series ON instances(series_id)");
    Execute("CREATE INDEX IF NOT EXISTS instances_study ON instances(study_id)");
    Execute("CREATE INDEX IF NOT EXISTS instances_patient ON instances(patient_id)");
    Execute("CREATE TABLE IF NOT EXISTS metadata("
            "instance_id TEXT, key INTEGER, value BLOB, PRIMARY KEY(instance_id, key))");
    Execute("CREATE TABLE IF NOT EXISTS global_properties(property INTEGER PRIMARY KEY, value BLOB)");
    Execute("CREATE TABLE IF NOT EXISTS changes("
            "seq INTEGER PRIMARY KEY AUTOINCREMENT, change_type INTEGER, resource_type INTEGER,"
            "resource_id TEXT, date TEXT)");
    Execute("CREATE TABLE IF NOT EXISTS remotes("
            "registry TEXT, name TEXT, definition TEXT, PRIMARY KEY(registry, name))");
  }

  Storage::~Storage()
  {
    statements_.reset();   // finalized first, or the connection would stay open
    sqlite3_close(db_);
  }

  void Storage::Execute(const char* sql)
  {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK)
    {
      std::string message = error ? error : "unknown error";
      sqlite3_free(error);
      throw HostError(Kestrum::ErrorCode_Database, "SQLite: " + message);
    }
  }

  std::string Storage::FolderPath(const std::string& instanceId) const
  {
    return directory_ + "/" + instanceId.substr(0, 2) + "/" + instanceId.substr(2, 2);
  }

  std::string Storage::FilePath(const std::string& instanceId) const
  {
    return FolderPath(instanceId) + "/" + instanceId;
  }

  bool Storage::ExistsLocked(const char* sql, const std::string& value)
  {
    Statement statement(*statements_, sql);
    statement.Bind(1, value);
    return statement.Step();
  }

  ChangeRecord Storage::RecordChangeLocked(int32_t changeType, int32_t resourceType, const std::string& id)
  {
    ChangeRecord change;
    change.changeType = changeType;
    change.resourceType = resourceType;
    change.resourceId = id;
    change.date = NowAsDicomDateTime();
    Statement statement(*statements_, "INSERT INTO changes(change_type, resource_type, resource_id, date) VALUES(?,?,?,?)");
    statement.Bind(1, static_cast<int64_t>(changeType)).Bind(2, static_cast<int64_t>(resourceType))
      .Bind(3, id).Bind(4, change.date).Step();
    change.seq = sqlite3_last_insert_rowid(db_);
    return change;
  }

  std::string Storage::WriteTemporaryFile(std::string_view bytes) const
  {
    std::string temporary = directory_ + "/tmp/" + UniqueTemporaryName();
    if (!WriteWholeFile(temporary, bytes))
    {
      throw HostError(Kestrum::ErrorCode_FileStorageCannotWrite,
                      "Cannot write a file in the storage: " + std::string(std::strerror(errno)));
    }
    return temporary;
  }

  Storage::UnnamedFile::~UnnamedFile()
  {
    if (fd >= 0)
    {
      close(fd);   // never named: the file system forgets it
    }
  }

  Storage::UnnamedFile Storage::WriteUnnamedFile(const std::string& folder, std::string_view bytes) const
  {
    UnnamedFile file;
    file.fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
    if (file.fd < 0)
    {
      if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)
      {
        return file;   // a file system without unnamed files: the caller uses tmp/
      }
      throw HostError(Kestrum::ErrorCode_FileStorageCannotWrite,
                      "Cannot write a file in the storage: " + std::string(std::strerror(errno)));
    }
    if (!WriteAll(file.fd, bytes))
    {
      int error = errno;
      throw HostError(Kestrum::ErrorCode_FileStorageCannotWrite,
                      "Cannot write a file in the storage: " + std::string(std::strerror(error)));
    }
    return file;
  }

  void Storage::NameFile(UnnamedFile& file, const std::string& path)
  {
    const std::string self = "/proc/self/fd/" + std::to_string(file.fd);
    int status = linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW);
    if (status != 0 && errno == EEXIST)
    {
      // A stray file of an instance whose indexing an abrupt stop cut short: the index has no row for it.
      unlink(path.c_str());
      status = linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW);
    }
    int error = errno;
    if (status != 0 || close(file.fd) != 0)
    {
      error = (status != 0 ? error : errno);
      file.fd = -1;
      if (status == 0)
      {
        unlink(path.c_str());
      }
      throw HostError(Kestrum::ErrorCode_FileStorageCannotWrite,
                      "Cannot move a file into the storage: " + std::string(std::strerror(error)));
    }
    file.fd = -1;
  }

  void Storage::MoveIntoStorage(const std::string& temporary, const std::string& instanceId)
  {
    MakeDirectory(directory_ + "/" + instanceId.substr(0, 2));
    MakeDirectory(directory_ + "/" + instanceId.substr(0, 2) + "/" + instanceId.substr(2, 2));
    if (rename(temporary.c_str(), FilePath(instanceId).c_str()) != 0)
    {
      int error = errno;
      unlink(temporary.c_str());
      throw HostError(Kestrum::ErrorCode_FileStorageCannotWrite,
                      "Cannot move a file into the storage: " + std::string(std::strerror(error)));
    }
  }

  void Storage::IndexLocked(StoreResult& result, size_t fileSize, const Json::Value& tags)
  {
    Transaction transaction(*statements_);
    bool newPatient = !ExistsLocked("SELECT 1 FROM instances WHERE patient_id=? LIMIT 1", result.patientId);
    bool newStudy = !ExistsLocked("SELECT 1 FROM instances WHERE study_id=? LIMIT 1", result.studyId);
    bool newSeries = !ExistsLocked("SELECT 1 FROM instances WHERE series_id=? LIMIT 1", result.seriesId);

    Statement insert(*statements_, "INSERT INTO instances(id, series_id, study_id, patient_id, file_size, tags) "
                          "VALUES(?,?,?,?,?,?)");
    insert.Bind(1, result.instanceId).Bind(2, result.seriesId).Bind(3, result.studyId)
      .Bind(4, result.patientId).Bind(5, static_cast<int64_t>(fileSize))
      .Bind(6, Kestrum::Toolbox::WriteCompactJson(tags)).Step();

    if (newPatient)
    {
      result.changes.push_back(RecordChangeLocked(KestrumChangeType_NewPatient, KestrumResourceType_Patient, result.patientId));
    }
    if (newStudy)
    {
      result.changes.push_back(RecordChangeLocked(KestrumChangeType_NewStudy, KestrumResourceType_Study, result.studyId));
    }
    if (newSeries)
    {
      result.changes.push_back(RecordChangeLocked(KestrumChangeType_NewSeries, KestrumResourceType_Series, result.seriesId));
    }
    result.changes.push_back(RecordChangeLocked(KestrumChangeType_NewInstance, KestrumResourceType_Instance, result.instanceId));
    transaction.Commit();
  }

  StoreResult Storage::Store(std::string_view bytes, const ParsedDicom& dicom)
  {
    StoreResult result;
    result.instanceId = DeriveInstanceId(dicom.ids);
    result.seriesId = DeriveSeriesId(dicom.ids);
    result.studyId = DeriveStudyId(dicom.ids);
    result.patientId = DerivePatientId(dicom.ids);

    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (ExistsLocked("SELECT 1 FROM instances WHERE id=?", result.instanceId))
      {
        result.alreadyStored = true;
        return result;
      }
    }

    // The slow part, writing the file, happens outside the lock: without a
    // name in its final folder where the file system can, so that no name
    // and no rename are needed (the name is given once the index agrees);
    // under a private name in tmp/ elsewhere.
    MakeDirectory(directory_ + "/" + result.instanceId.substr(0, 2));
    MakeDirectory(directory_ + "/" + result.instanceId.substr(0, 2) + "/" + result.instanceId.substr(2, 2));
    UnnamedFile unnamed = WriteUnnamedFile(FolderPath(result.instanceId), bytes);
    const std::string temporary = unnamed.fd >= 0 ? std::string() : WriteTemporaryFile(bytes);

    Json::Value tags(Json::objectValue);
    tags["Patient"] = dicom.patientTags;
    tags["Study"] = dicom.studyTags;
    tags["Series"] = dicom.seriesTags;
    tags["Instance"] = dicom.instanceTags;

    std::lock_guard<std::mutex> lock(mutex_);
    if (ExistsLocked("SELECT 1 FROM instances WHERE id=?", result.instanceId))
    {
      // A concurrent upload of the same instance won the race.
      if (!temporary.empty())
      {
        unlink(temporary.c_str());
      }
      result.alreadyStored = true;
      return result;
    }
    if (unnamed.fd >= 0)
    {
      NameFile(unnamed, FilePath(result.instanceId));
    }
    else
    {
      MoveIntoStorage(temporary, result.instanceId);
    }
    IndexLocked(result, bytes.size(), tags);
    return result;
  }

  bool Storage::GetInstance(const std::string& id, InstanceRecord& record) const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement statement(*statements_, "SELECT series_id, study_id, patient_id, file_size, tags FROM instances WHERE id=?");
    statement.Bind(1, id);
    if (!statement.Step())
    {
      return false;
    }
    record.id = id;
    record.seriesId = statement.Text(0);
    record.studyId = statement.Text(1);
    record.patientId = statement.Text(2);
    record.fileSize = statement.Int(3);
    record.tags = ReadStoredJson(statement.Text(4));
    return true;
  }

  std::vector<std::string> Storage::ListInstances() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement statement(*statements_, "SELECT id FROM instances ORDER BY rowid");
    std::vector<std::string> ids;
    while (statement.Step())
    {
      ids.push_back(statement.Text(0));
    }
    return ids;
  }

  bool Storage::IsStored(const std::string& id) const
  {
    if (!IsResourceId(id))
    {
      return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    Statement statement(*statements_, "SELECT 1 FROM instances WHERE id=?");
    statement.Bind(1, id);
    return statement.Step();
  }

  bool Storage::ReadFile(const std::string& id, std::string& content) const
  {
    if (!IsStored(id))
    {
      return false;
    }

    try
    {
      Kestrum::ReadWholeFile(content, FilePath(id));
    }
    catch (const Kestrum::KestrumException& e)
    {
      if (e.GetErrorCode() == Kestrum::ErrorCode_RegularFileExpected)
      {
        return false;   // deleted between the index look-up and the read
      }
      throw HostError(Kestrum::ErrorCode_InexistentFile, "Cannot read a stored file");
    }
    return true;
  }

  bool Storage::ReadFile(const std::string& id, HostBlock& content) const
  {
    return IsStored(id) && ReadWholeFile(FilePath(id), content);
  }

  bool Storage::DeleteInstance(const std::string& id, ChangeRecord& change)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    {
      Transaction transaction(*statements_);
      Statement remove(*statements_, "DELETE FROM instances WHERE id=?");
      remove.Bind(1, id).Step();
      if (sqlite3_changes(db_) == 0)
      {
        return false;
      }
      Statement metadata(*statements_, "DELETE FROM metadata WHERE instance_id=?");
      metadata.Bind(1, id).Step();
      change = RecordChangeLocked(KestrumChangeType_Deleted, KestrumResourceType_Instance, id);
      transaction.Commit();
    }
    // The row is gone first: a stop right here leaves a stray file, never a dangling row.
    if (IsResourceId(id))
    {
      unlink(FilePath(id).c_str());
    }
    return true;
  }

  bool Storage::ListMetadata(const std::string& id, std::vector<int>& keys) const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement exists(*statements_, "SELECT 1 FROM instances WHERE id=?");
    exists.Bind(1, id);
    if (!exists.Step())
    {
      return false;
    }
    Statement statement(*statements_, "SELECT key FROM metadata WHERE instance_id=? ORDER BY key");
    statement.Bind(1, id);
    keys.clear();
    while (statement.Step())
    {
      keys.push_back(static_cast<int>(statement.Int(0)));
    }
    return true;
  }

  bool Storage::GetMetadata(const std::string& id, int key, std::string& value) const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement statement(*statements_, "SELECT value FROM metadata WHERE instance_id=? AND key=?");
    statement.Bind(1, id).Bind(2, static_cast<int64_t>(key));
    if (!statement.Step())
    {
      return false;
    }
    value = statement.Text(0);
    return true;
  }

  bool Storage::SetMetadata(const std::string& id, int key, const std::string& value)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction transaction(*statements_);
    Statement exists(*statements_, "SELECT 1 FROM instances WHERE id=?");
    exists.Bind(1, id);
    if (!exists.Step())
    {
      return false;
    }
    Statement statement(*statements_, "INSERT OR REPLACE INTO metadata(instance_id, key, value) VALUES(?,?,?)");
    statement.Bind(1, id).Bind(2, static_cast<int64_t>(key)).BindBlob(3, value).Step();
    transaction.Commit();
    return true;
  }

  bool Storage::DeleteMetadata(const std::string& id, int key)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement statement(*statements_, "DELETE FROM metadata WHERE instance_id=? AND key=?");
    statement.Bind(1, id).Bind(2, static_cast<int64_t>(key)).Step();
    return sqlite3_changes(db_) > 0;
  }

  bool Storage::GetGlobalProperty(int property, std::string& value) const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement statement(*statements_, "SELECT value FROM global_properties WHERE property=?");
    statement.Bind(1, static_cast<int64_t>(property));
    if (!statement.Step())
    {
      return false;
    }
    value = statement.Text(0);
    return true;
  }

  void Storage::SetGlobalProperty(int property, const std::string& value)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement statement(*statements_, "INSERT OR REPLACE INTO global_properties(property, value) VALUES(?,?)");
    statement.Bind(1, static_cast<int64_t>(property)).BindBlob(2, value).Step();
  }

  ChangeRecord Storage::RecordChange(int32_t changeType, int32_t resourceType, const std::string& id)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return RecordChangeLocked(changeType, resourceType, id);
  }

  std::vector<ChangeRecord> Storage::ReadChanges(int64_t since, unsigned int count) const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement statement(*statements_, "SELECT seq, change_type, resource_type, resource_id, date FROM changes "
                             "WHERE seq>? ORDER BY seq LIMIT ?");
    statement.Bind(1, since).Bind(2, static_cast<int64_t>(count));
    std::vector<ChangeRecord> changes;
    while (statement.Step())
    {
      ChangeRecord change;
      change.seq = statement.Int(0);
      change.changeType = static_cast<int32_t>(statement.Int(1));
      change.resourceType = static_cast<int32_t>(statement.Int(2));
      change.resourceId = statement.Text(3);
      change.date = statement.Text(4);
      changes.push_back(change);
    }
    return changes;
  }

  int64_t Storage::GetLastChangeSeq() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement statement(*statements_, "SELECT MAX(seq) FROM changes");
    return statement.Step() ? statement.Int(0) : 0;
  }

  std::vector<std::string> Storage::ListRemotes(const std::string& registry) const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement statement(*statements_, "SELECT name FROM remotes WHERE registry=? ORDER BY name");
    statement.Bind(1, registry);
    std::vector<std::string> names;
    while (statement.Step())
    {
      names.push_back(statement.Text(0));
    }
    return names;
  }

  bool Storage::GetRemote(const std::string& registry, const std::string& name, std::string& definition) const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement statement(*statements_, "SELECT definition FROM remotes WHERE registry=? AND name=?");
    statement.Bind(1, registry).Bind(2, name);
    if (!statement.Step())
    {
      return false;
    }
    definition = statement.Text(0);
    return true;
  }

  void Storage::PutRemote(const std::string& registry, const std::string& name, const std::string& definition)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement statement(*statements_, "INSERT OR REPLACE INTO remotes(registry, name, definition) VALUES(?,?,?)");
    statement.Bind(1, registry).Bind(2, name).Bind(3, definition).Step();
  }

  bool Storage::DeleteRemote(const std::string& registry, const std::string& name)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement statement(*statements_, "DELETE FROM remotes WHERE registry=? AND name=?");
    statement.Bind(1, registry).Bind(2, name).Step();
    return sqlite3_changes(db_) > 0;
  }

  std::vector<StudyRecord> Storage::ListStudies(unsigned int limit, unsigned int offset) const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement statement(*statements_, "SELECT study_id, MIN(rowid), COUNT(*) FROM instances GROUP BY study_id "
                             "ORDER BY MIN(rowid) LIMIT ? OFFSET ?");
    statement.Bind(1, limit == 0 ? int64_t(-1) : static_cast<int64_t>(limit)).Bind(2, static_cast<int64_t>(offset));
    std::vector<StudyRecord> studies;
    while (statement.Step())
    {
      StudyRecord study;
      study.studyId = statement.Text(0);
      study.instanceCount = statement.Int(2);
      Statement first(*statements_, "SELECT tags FROM instances WHERE rowid=?");
      first.Bind(1, statement.Int(1));
      if (first.Step())
      {
        Json::Value tags = ReadStoredJson(first.Text(0));
        study.patientTags = tags["Patient"];
        study.studyTags = tags["Study"];
      }
      studies.push_back(study);
    }
    return studies;
  }

  std::vector<InstanceRecord> Storage::FindInstances(const std::string& studyUid, const std::string& seriesUid,
                                                     const std::string& sopInstanceUid) const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // An empty UID matches every row: "?1 = ''" short-cuts the comparison.
    Statement statement(*statements_, "SELECT id, series_id, study_id, patient_id, file_size, tags FROM instances WHERE "
                             "(?1 = '' OR json_extract(tags, '$.Study.StudyInstanceUID') = ?1) AND "
                             "(?2 = '' OR json_extract(tags, '$.Series.SeriesInstanceUID') = ?2) AND "
                             "(?3 = '' OR json_extract(tags, '$.Instance.SOPInstanceUID') = ?3) ORDER BY rowid");
    statement.Bind(1, studyUid).Bind(2, seriesUid).Bind(3, sopInstanceUid);
    std::vector<InstanceRecord> records;
    while (statement.Step())
    {
      InstanceRecord record;
      record.id = statement.Text(0);
      record.seriesId = statement.Text(1);
      record.studyId = statement.Text(2);
      record.patientId = statement.Text(3);
      record.fileSize = statement.Int(4);
      record.tags = ReadStoredJson(statement.Text(5));
      records.push_back(std::move(record));
    }
    return records;
  }

  bool Storage::AppendFile(const std::string& id, std::string& target) const
  {
    if (!IsResourceId(id))
    {
      return false;
    }
    int fd = open(FilePath(id).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
    {
      return false;   // deleted since it was listed
    }
    struct stat info;
    bool done = fstat(fd, &info) == 0;
    const size_t start = target.size();
    size_t have = 0;
    if (done)
    {
      target.resize(start + static_cast<size_t>(info.st_size));
      while (have < static_cast<size_t>(info.st_size))
      {
        ssize_t n = read(fd, &target[start + have], static_cast<size_t>(info.st_size) - have);
        if (n < 0 && errno == EINTR)
        {
          continue;
        }
        if (n <= 0)
        {
          done = false;
          break;
        }
        have += static_cast<size_t>(n);
      }
    }
    close(fd);
    if (!done)
    {
      target.resize(start);
      throw HostError(Kestrum::ErrorCode_InexistentFile, "Cannot read a stored file");
    }
    return true;
  }
}
