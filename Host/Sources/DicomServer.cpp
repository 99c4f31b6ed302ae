#include "DicomServer.h"

#include "DicomAssociation.h"
#include "DicomParser.h"
#include "HostError.h"
#include "HostLog.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/dcmtrans.h>
#include <dcmtk/dcmnet/dul.h>

#include <arpa/inet.h>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace KestrumHost
{
  namespace
  {
    const int StopPollMs = 100;
    // Peers beyond the limit wait this long at most for their refusal; more than
    // this many waiting are closed without one.
    const int RefusalTimeoutSeconds = 5;
    const size_t MaximumWaitingRefusals = 8;
    // A worker keeps its buffer between associations up to this size.
    const size_t KeptBufferBytes = 64 * 1024 * 1024;

    std::string PeerAddress(const sockaddr_in& peer)
    {
      char text[INET_ADDRSTRLEN] = "?";
      inet_ntop(AF_INET, &peer.sin_addr, text, sizeof(text));
      return text;
    }
  }

  /**
   * The host accepts connections itself rather than through DCMTK, whose
   * acceptor reads each association request before taking the next
   * connection: one silent peer would hold every other one back. Here a
   * worker waits for its own peer, and the acceptor only hands sockets out.
   */
  struct DicomServer::Impl
  {
    struct Connection
    {
      int fd;
      std::string address;
    };

    HostConfig config;
    InstanceIngest& ingest;
    DicomAssociationSettings settings;
    int listenFd = -1;
    int port = 0;
    T_ASC_Network* network = nullptr;
    std::atomic<bool> stopping{false};

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Connection> accepted;     // for the workers
    std::deque<Connection> refusals;     // for the refuser
    size_t freeSlots = 0;                // "DicomMaxAssociations" less the connections accepted or served
    std::set<int> open;                  // every socket between accept and close, shut down on a stop
    std::thread acceptor;
    std::thread refuser;
    std::vector<std::thread> workers;

    Impl(const HostConfig& hostConfig, InstanceIngest& hostIngest) :
      config(hostConfig),
      ingest(hostIngest)
    {
      settings.aet = config.dicomAet;
      settings.checkCalledAet = config.dicomCheckCalledAet;
      settings.timeoutSeconds = static_cast<int>(config.dicomTimeout);
      settings.maximumInstanceSize = static_cast<size_t>(config.maximumBodySize) << 20;
    }

    ~Impl()
    {
      DicomAssociation::DropNetwork(network);
      if (listenFd >= 0)
      {
        close(listenFd);
      }
    }

    void Bind()
    {
      // Non-blocking: a connection gone between poll and accept must not hold the acceptor.
      listenFd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      int yes = 1;
      setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
      // Modalities reach the server from the network, as they would any DICOM server.
      sockaddr_in where{};
      where.sin_family = AF_INET;
      where.sin_port = htons(static_cast<uint16_t>(config.dicomPort));
      where.sin_addr.s_addr = htonl(INADDR_ANY);
      if (listenFd < 0 || bind(listenFd, reinterpret_cast<sockaddr*>(&where), sizeof(where)) != 0 ||
          listen(listenFd, SOMAXCONN) != 0)
      {
        throw HostError(Kestrum::ErrorCode_DicomPortInUse, "The TCP port " + std::to_string(config.dicomPort) +
                        " of the DICOM server is privileged or already in use");
      }
      socklen_t size = sizeof(where);
      getsockname(listenFd, reinterpret_cast<sockaddr*>(&where), &size);
      port = ntohs(where.sin_port);
    }

    void Accept()
    {
      while (!stopping)
      {
        pollfd entry{listenFd, POLLIN, 0};
        if (poll(&entry, 1, StopPollMs) <= 0)
        {
          continue;
        }
        sockaddr_in peer{};
        socklen_t size = sizeof(peer);
        // Blocking (accept4 does not pass O_NONBLOCK on), as DCMTK expects; the socket time-outs bound its reads.
        const int fd = accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
        if (fd < 0)
        {
          continue;
        }
        // Each response is one small write that the peer waits for before its next request.
        int yes = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof(yes));
        Dispatch({fd, PeerAddress(peer)});
      }
    }

    void Dispatch(Connection connection)
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (freeSlots > 0)
      {
        freeSlots--;
        accepted.push_back(std::move(connection));
      }
      else if (refusals.size() < MaximumWaitingRefusals)
      {
        refusals.push_back(std::move(connection));
      }
      else
      {
        LogWarning("DICOM connection from " + connection.address + " closed at once: " +
                   std::to_string(config.dicomMaxAssociations) + " associations are served and " +
                   std::to_string(refusals.size()) + " more wait for their refusal");
        close(connection.fd);
        return;
      }
      open.insert(connection.fd);
      wake.notify_all();
    }

    /** The next connection from "queue", or none once the server stops. */
    bool Next(std::deque<Connection>& queue, Connection& connection)
    {
      std::unique_lock<std::mutex> lock(mutex);
      wake.wait(lock, [&] { return stopping || !queue.empty(); });
      if (queue.empty())
      {
        return false;
      }
      connection = std::move(queue.front());
      queue.pop_front();
      return true;
    }

    void Forget(const Connection& connection, bool slot)
    {
      std::lock_guard<std::mutex> lock(mutex);
      open.erase(connection.fd);
      close(connection.fd);
      if (slot)
      {
        freeSlots++;
      }
    }

    void Work()
    {
      std::string buffer;   // each instance received, kept warm from one to the next
      Connection connection;
      while (Next(accepted, connection))
      {
        std::unique_ptr<DicomAssociation> association =
          DicomAssociation::Receive(*network, connection.fd, connection.address, settings, stopping);
        if (association && association->Accept())
        {
          association->Serve(ingest, buffer);
        }
        association.reset();
        Forget(connection, true);
        if (buffer.capacity() > KeptBufferBytes)
        {
          std::string().swap(buffer);   // one huge instance must not stay on an idle thread
        }
      }
    }

    void Refuse()
    {
      DicomAssociationSettings quick = settings;
      quick.timeoutSeconds = std::min(settings.timeoutSeconds, RefusalTimeoutSeconds);
      Connection connection;
      while (Next(refusals, connection))
      {
        std::unique_ptr<DicomAssociation> association =
          DicomAssociation::Receive(*network, connection.fd, connection.address, quick, stopping);
        if (association)
        {
          association->RefuseBusy(config.dicomMaxAssociations);
        }
        association.reset();
        Forget(connection, false);
      }
    }
  };

  DicomServer::DicomServer(const HostConfig& config, InstanceIngest& ingest) :
    impl_(std::make_unique<Impl>(config, ingest))
  {
  }

  DicomServer::~DicomServer()
  {
    Stop();
  }

  void DicomServer::Start()
  {
    Impl& impl = *impl_;
    QuietDcmtk();
    impl.Bind();
    // Every read and write of an association, whatever DCMTK call makes it, gives up after the time-out.
    dcmSocketReceiveTimeout.set(static_cast<Sint32>(impl.config.dicomTimeout));
    dcmSocketSendTimeout.set(static_cast<Sint32>(impl.config.dicomTimeout));
    // A reverse look-up of every peer's name would delay each association; the log names addresses.
    dcmDisableGethostbyaddr.set(OFTrue);
    impl.network = DicomAssociation::MakeNetwork(impl.listenFd, static_cast<int>(impl.config.dicomTimeout));
    impl.stopping = false;
    impl.freeSlots = impl.config.dicomMaxAssociations;
    for (unsigned int i = 0; i < impl.config.dicomMaxAssociations; i++)
    {
      impl.workers.emplace_back([&impl] { impl.Work(); });
    }
    impl.refuser = std::thread([&impl] { impl.Refuse(); });
    impl.acceptor = std::thread([&impl] { impl.Accept(); });
    LogInfo("DICOM server listening on port " + std::to_string(impl.port) + " with the title \"" +
            impl.config.dicomAet + "\"");
  }

  int DicomServer::GetPort() const
  {
    return impl_->port;
  }

  void DicomServer::Stop()
  {
    if (!impl_ || !impl_->acceptor.joinable())
    {
      return;
    }
    Impl& impl = *impl_;
    {
      std::lock_guard<std::mutex> lock(impl.mutex);
      impl.stopping = true;
      // Wakes every read blocked on a peer; the workers then close their sockets.
      for (int fd : impl.open)
      {
        shutdown(fd, SHUT_RDWR);
      }
      impl.wake.notify_all();
    }
    impl.acceptor.join();
    impl.refuser.join();
    for (std::thread& worker : impl.workers)
    {
      worker.join();
    }
    impl.workers.clear();
    for (auto* queue : {&impl.accepted, &impl.refusals})
    {
      for (const Impl::Connection& connection : *queue)
      {
        close(connection.fd);
      }
      queue->clear();
    }
    LogInfo("DICOM server stopped");
  }
}
