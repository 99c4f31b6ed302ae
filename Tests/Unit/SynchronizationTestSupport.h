/**
 * Test doubles for the synchronization tests, built over the in-process
 * test host: a store of instances answering the host's REST API
 * ("/instances/...", "/changes"), a Kestrum peer reached through the
 * host's outgoing HTTP service, and a fixture that runs a synchronization
 * engine of its own over both.
 */
#pragma once

#include "FakeHostTest.h"

#include <Synchronization/PendingInstance.h>
#include <Synchronization/PluginState.h>
#include <Synchronization/SynchronizationStatistics.h>
#include <Synchronization/SynchronizationThreads.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace QuelbyCloud
{
  namespace Testing
  {
    const char* const UNREADABLE_STATE_WARNING = "Quelby Cloud plugin: The stored state of the plugin cannot be read, "
      "the defaults are used until the next change is stored";


    /** A DICOM file stand-in: the UID can be read back from the bytes, padded to a size. */
    inline std::string MakeFile(const std::string& sopInstanceUid, size_t size)
    {
      std::string file = "DICM:" + sopInstanceUid + "\n";
      if (file.size() < size)
      {
        file.append(size - file.size(), static_cast<char>('a' + sopInstanceUid.size() % 26));
      }
      return file;
    }

    inline std::string UidOfFile(const std::string& file)
    {
      if (file.compare(0, 5, "DICM:") != 0)
      {
        return "";
      }
      return file.substr(5, file.find('\n') - 5);
    }


    /** The host's store of instances as seen through its REST API. */
    class FakeStore
    {
    public:
      struct Instance
      {
        std::string sopInstanceUid;
        std::string file;
        std::string description;     // the JSON of GET /instances/ID
        bool hasMetadata = false;
        std::string metadata;        // metadata 4455
        bool fileReadable = true;
      };

    private:
      mutable std::mutex mutex_;
      std::map<std::string, Instance> instances_;
      std::vector<std::string> changes_;          // JSON change objects, in sequence order
      std::map<std::string, int32_t> putFailures_;
      std::map<std::string, int32_t> deleteFailures_;
      int32_t changesFailure_ = 0;
      size_t changesRequests_ = 0;

      static std::string IdOf(const std::string& uri, std::string& rest)
      {
        const std::string prefix = "/instances/";
        std::string tail = uri.substr(prefix.size());
        size_t slash = tail.find('/');
        rest = (slash == std::string::npos ? "" : tail.substr(slash));
        return tail.substr(0, slash);
      }

      FakeHost::RestReply Get(const std::string& uri)
      {
        std::string rest;
        const std::string id = IdOf(uri, rest);
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = instances_.find(id);
        if (found == instances_.end())
        {
          return FakeHost::RestReply::Failure(17);
        }
        if (rest.empty())
        {
          return FakeHost::RestReply::Ok(found->second.description);
        }
        if (rest == "/file")
        {
          return found->second.fileReadable ? FakeHost::RestReply::Ok(found->second.file)
                                            : FakeHost::RestReply::Failure(17);
        }
        if (rest == "/metadata/4455")
        {
          return found->second.hasMetadata ? FakeHost::RestReply::Ok(found->second.metadata)
                                           : FakeHost::RestReply::Failure(17);
        }
        return FakeHost::RestReply::Failure(17);
      }

      FakeHost::RestReply Put(const std::string& uri, const std::string& body)
      {
        std::string rest;
        const std::string id = IdOf(uri, rest);
        std::lock_guard<std::mutex> lock(mutex_);
        auto failure = putFailures_.find(id);
        if (failure != putFailures_.end())
        {
          return FakeHost::RestReply::Failure(failure->second);
        }
        auto found = instances_.find(id);
        if (found == instances_.end() || rest != "/metadata/4455")
        {
          return FakeHost::RestReply::Failure(17);
        }
        found->second.hasMetadata = true;
        found->second.metadata = body;
        return FakeHost::RestReply::Ok("");
      }

      FakeHost::RestReply Delete(const std::string& uri)
      {
        std::string rest;
        const std::string id = IdOf(uri, rest);
        std::lock_guard<std::mutex> lock(mutex_);
        auto failure = deleteFailures_.find(id);
        if (failure != deleteFailures_.end())
        {
          return FakeHost::RestReply::Failure(failure->second);
        }
        if (!rest.empty() || instances_.erase(id) == 0)
        {
          return FakeHost::RestReply::Failure(17);
        }
        return FakeHost::RestReply::Ok("");
      }

      static uint64_t QueryValue(const std::string& uri, const std::string& key)
      {
        size_t at = uri.find(key + "=");
        return at == std::string::npos ? 0 : std::stoull(uri.substr(at + key.size() + 1));
      }

      FakeHost::RestReply Changes(const std::string& uri)
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (uri == "/changes?last")
        {
          return FakeHost::RestReply::Ok("{\"Changes\":[],\"Done\":true,\"Last\":" + std::to_string(changes_.size()) + "}");
        }
        changesRequests_++;
        if (changesFailure_ != 0)
        {
          return FakeHost::RestReply::Failure(changesFailure_);
        }

        // Sequence numbers start at 1; "since" is the last one already seen.
        const uint64_t since = QueryValue(uri, "since");
        const uint64_t limit = QueryValue(uri, "limit");
        std::ostringstream answer;
        answer << "{\"Changes\":[";
        uint64_t last = since;
        for (uint64_t seq = since + 1; seq <= changes_.size() && seq - since <= limit; seq++)
        {
          answer << (seq > since + 1 ? "," : "") << changes_[seq - 1];
          last = seq;
        }
        answer << "],\"Done\":" << (last >= changes_.size() ? "true" : "false")
               << ",\"Last\":" << last << "}";
        return FakeHost::RestReply::Ok(answer.str());
      }

    public:
      /** Installs the store's answers in the host (again after a reset of the host). */
      void Install(FakeHost& host)
      {
        host.OnRestGetPrefix("/instances/").Compute([this](const FakeHost::RestCall& c) { return Get(c.uri); })
            .OnRestPutPrefix("/instances/").Compute([this](const FakeHost::RestCall& c) { return Put(c.uri, c.body); })
            .OnRestDeletePrefix("/instances/").Compute([this](const FakeHost::RestCall& c) { return Delete(c.uri); })
            .OnRestGetPrefix("/changes").Compute([this](const FakeHost::RestCall& c) { return Changes(c.uri); });
      }

      /** Stores an instance and records its "NewInstance" change. */
      void Add(const std::string& id, const std::string& sopInstanceUid, size_t size = 1000)
      {
        Instance instance;
        instance.sopInstanceUid = sopInstanceUid;
        instance.file = MakeFile(sopInstanceUid, size);
        instance.description = "{\"ID\":\"" + id + "\",\"MainDicomTags\":{\"SOPInstanceUID\":\"" + sopInstanceUid + "\"}}";
        std::lock_guard<std::mutex> lock(mutex_);
        instances_[id] = instance;
        changes_.push_back("{\"ChangeType\":\"NewInstance\",\"ID\":\"" + id + "\",\"ResourceType\":\"Instance\"}");
      }

      /** Appends a raw change object (any JSON) to the history. */
      void AddChange(const std::string& json)
      {
        std::lock_guard<std::mutex> lock(mutex_);
        changes_.push_back(json);
      }

      void SetDescription(const std::string& id, const std::string& json)
      {
        std::lock_guard<std::mutex> lock(mutex_);
        instances_[id].description = json;
      }

      void SetMetadata(const std::string& id, const std::string& value)
      {
        std::lock_guard<std::mutex> lock(mutex_);
        instances_[id].hasMetadata = true;
        instances_[id].metadata = value;
      }

      void SetFileReadable(const std::string& id, bool readable)
      {
        std::lock_guard<std::mutex> lock(mutex_);
        instances_[id].fileReadable = readable;
      }

      void FailPut(const std::string& id, int32_t code)
      {
        std::lock_guard<std::mutex> lock(mutex_);
        putFailures_[id] = code;
      }

      void FailDelete(const std::string& id, int32_t code)
      {
        std::lock_guard<std::mutex> lock(mutex_);
        deleteFailures_[id] = code;
      }

      void FailChanges(int32_t code)
      {
        std::lock_guard<std::mutex> lock(mutex_);
        changesFailure_ = code;
      }

      bool Has(const std::string& id) const
      {
        std::lock_guard<std::mutex> lock(mutex_);
        return instances_.count(id) == 1;
      }

      /** Metadata 4455 of an instance, "" when it has none. */
      std::string Metadata(const std::string& id) const
      {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = instances_.find(id);
        return (found == instances_.end() || !found->second.hasMetadata) ? "" : found->second.metadata;
      }

      size_t Count() const
      {
        std::lock_guard<std::mutex> lock(mutex_);
        return instances_.size();
      }

      size_t ChangesRequests() const
      {
        std::lock_guard<std::mutex> lock(mutex_);
        return changesRequests_;
      }
    };


    /** A Kestrum peer reached over the host's outgoing HTTP: POST /instances, GET /instances/ID. */
    class FakePeer
    {
    private:
      mutable std::mutex mutex_;
      std::string url_;
      std::vector<std::string> received_;       // files, in arrival order
      bool failing_ = false;
      std::set<std::string> refusedUids_;       // uploads of these fail
      std::chrono::milliseconds delay_{0};
      int active_ = 0;
      int mostActive_ = 0;                      // requests served at once, at most
      int gate_ = 0;                            // requests held until that many are being served
      std::condition_variable gateOpen_;

    public:
      explicit FakePeer(const std::string& url) : url_(url) {}

      const std::string& GetUrl() const { return url_; }

      void Install(FakeHost& host)
      {
        host.OnHttpPrefix(url_ + "/").Compute([this](const FakeHost::HttpRequest& request)
        {
          std::chrono::milliseconds delay;
          {
            std::unique_lock<std::mutex> lock(mutex_);
            delay = delay_;
            mostActive_ = std::max(mostActive_, ++active_);
            gateOpen_.notify_all();
            gateOpen_.wait_for(lock, std::chrono::seconds(5), [this] { return active_ >= gate_; });
            gate_ = 0;   // once open, it stays open
          }
          if (delay.count() > 0)
          {
            std::this_thread::sleep_for(delay);
          }

          std::lock_guard<std::mutex> lock(mutex_);
          active_--;
          if (failing_ || refusedUids_.count(UidOfFile(request.body)) != 0)
          {
            return FakeHost::HttpReply::Failure(9);
          }

          const std::string path = request.url.substr(url_.size());
          if (request.method == KestrumHttpMethod_Post && path == "/instances")
          {
            received_.push_back(request.body);
            return FakeHost::HttpReply::Ok("{\"ID\":\"peer-" + std::to_string(received_.size() - 1) + "\"}");
          }

          const std::string prefix = "/instances/peer-";
          if (request.method == KestrumHttpMethod_Get && path.compare(0, prefix.size(), prefix) == 0)
          {
            size_t index = std::stoul(path.substr(prefix.size()));
            if (index < received_.size())
            {
              return FakeHost::HttpReply::Ok("{\"MainDicomTags\":{\"SOPInstanceUID\":\"" +
                                             UidOfFile(received_[index]) + "\"}}");
            }
          }

          return FakeHost::HttpReply::Failure(9);
        });
      }

      /** ServerConfiguration of this peer: native protocol, no compression. */
      ServerConfiguration MakeConfiguration() const
      {
        ServerConfiguration server;
        server.SetModalityName("peer");
        server.SetUrl(url_);
        server.SetServerType(ServerType_Kestrum);
        server.SetProtocolType(ProtocolType_Native);
        server.SetCompress(false);
        return server;
      }

      void SetFailing(bool failing)
      {
        std::lock_guard<std::mutex> lock(mutex_);
        failing_ = failing;
      }

      void FailUid(const std::string& uid)
      {
        std::lock_guard<std::mutex> lock(mutex_);
        refusedUids_.insert(uid);
      }

      /** Holds the requests until that many are served at once (or 5 s have passed). */
      void SetGate(int requests)
      {
        std::lock_guard<std::mutex> lock(mutex_);
        gate_ = requests;
      }

      int MostActive() const
      {
        std::lock_guard<std::mutex> lock(mutex_);
        return mostActive_;
      }

      void SetDelay(std::chrono::milliseconds delay)
      {
        std::lock_guard<std::mutex> lock(mutex_);
        delay_ = delay;
      }

      /** In order of UID: uploads overlap, so the order of arrival tells nothing. */
      std::vector<std::string> Received() const
      {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> received = received_;
        std::sort(received.begin(), received.end(),
                  [](const std::string& a, const std::string& b) { return UidOfFile(a) < UidOfFile(b); });
        return received;
      }

      /** UIDs received, in order of UID. */
      std::vector<std::string> ReceivedUids() const
      {
        std::vector<std::string> uids;
        for (const std::string& file : Received())
        {
          uids.push_back(UidOfFile(file));
        }
        return uids;
      }
    };


    /**
     * A synchronization engine of its own over a store of instances and a
     * peer that accepts uploads and declarations. Nothing is read from the
     * host before the first operation that needs the stored state.
     */
    class StoreAndPeerTest : public FakeHostTest
    {
    protected:
      FakeStore store;
      FakePeer peer{"http://peer.test:8042"};
      PluginState state{bridge};
      PendingQueue pending;
      SynchronizationStatistics statistics;
      DeliveryLedger ledger{bridge};
      SynchronizationThreads threads{bridge, state, pending, statistics, ledger};

      void SetUp() override
      {
        FakeHostTest::SetUp();
        store.Install(host);
        peer.Install(host);
        host.OnRestPutPrefix("/peers/").Answer("{}")
            .OnRestDeletePrefix("/peers/").Answer("");
      }

      // The threads log to the host: they end before the host's checks.
      void TearDown() override
      {
        threads.StopThreads();
        FakeHostTest::TearDown();
      }

      /** Makes the peer the active server, with the given options. Returns the generation's UUID. */
      std::string ConnectTo(const FakePeer& target, bool automatedDeletion, bool automatedRouting = true)
      {
        state.Connect(target.MakeConfiguration());
        state.SetOptions({ automatedRouting, automatedDeletion });
        return CurrentUuid();
      }

      std::string CurrentUuid() const { return state.GetSnapshot().synchronizationUuid; }
    };


    /** Polls a condition until it holds or the time runs out. */
    inline bool WaitFor(const std::function<bool()>& condition,
                        std::chrono::milliseconds timeout = std::chrono::milliseconds(5000))
    {
      const auto deadline = std::chrono::steady_clock::now() + timeout;
      while (!condition())
      {
        if (std::chrono::steady_clock::now() > deadline)
        {
          return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      return true;
    }
  }
}
