// kestrum-host: a small DICOM server that loads plug-ins.

#include "DicomServer.h"
#include "HostConfig.h"
#include "HostCore.h"
#include "HostError.h"
#include "HostLog.h"
#include "HttpServer.h"
#include "RestApi.h"

#include <KestrumException.h>
#include <SystemToolbox.h>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <malloc.h>
#include <memory>
#include <string>

using namespace KestrumHost;

namespace
{
  void PrintHelp()
  {
    std::cout <<
      "Usage: kestrum-host CONFIG.json\n"
      "       kestrum-host --get-global-property N CONFIG.json\n"
      "       kestrum-host --set-global-property N FILE CONFIG.json\n"
      "       kestrum-host --help | --version\n"
      "\n"
      "Starts a DICOM server with a REST API and the plug-ins listed in the configuration.\n"
      "Configuration keys (JSON, comments allowed): Name, Version, HttpPort, RemoteAccessAllowed,\n"
      "StorageDirectory, Plugins, AuthenticationEnabled, RegisteredUsers, SslEnabled,\n"
      "SslCertificate, SslPrivateKey, HttpsCACertificates, HttpsVerifyPeers, HttpTimeout,\n"
      "HttpConnectTo, DicomWeb {Enable, Root}, DicomPort, DicomAet, DicomCheckCalledAet,\n"
      "DicomMaxAssociations, DicomTimeout.\n"
      "Stop the server with SIGINT or SIGTERM. Stop it before changing a global property:\n"
      "a running plug-in overwrites its stored state whenever it saves.\n";
  }

  bool ParsePropertyNumber(const std::string& text, int& property)
  {
    uint64_t value;
    if (!ParseUnsigned(text, value) || value > 0x7fffffff)
    {
      return false;
    }
    property = static_cast<int>(value);
    return true;
  }

  int GetGlobalProperty(const std::string& number, const std::string& configPath)
  {
    int property;
    if (!ParsePropertyNumber(number, property))
    {
      LogError("Bad global property number: " + number);
      return 2;
    }
    HostConfig config = HostConfig::Load(configPath);
    Storage storage(config.storageDirectory);
    std::string value;
    if (!storage.GetGlobalProperty(property, value))
    {
      // Never stored: nothing to print, which a backup script can take as "no state yet".
      LogWarning("The global property " + number + " is not set in " + config.storageDirectory);
      return 0;
    }
    std::cout.write(value.data(), static_cast<std::streamsize>(value.size()));
    std::cout.flush();
    return 0;
  }

  int SetGlobalProperty(const std::string& number, const std::string& file, const std::string& configPath)
  {
    int property;
    if (!ParsePropertyNumber(number, property))
    {
      LogError("Bad global property number: " + number);
      return 2;
    }
    std::string content;
    try
    {
      Kestrum::ReadWholeFile(content, file);
    }
    catch (const Kestrum::KestrumException&)
    {
      LogError("Cannot read the file " + file);
      return 1;
    }
    HostConfig config = HostConfig::Load(configPath);
    Storage storage(config.storageDirectory);
    storage.SetGlobalProperty(property, content);
    LogInfo("Stored the global property " + number + " (" + std::to_string(content.size()) + " bytes)");
    return 0;
  }

  void KeepLargeBuffersInTheHeap()
  {
    // Instances travel in buffers of up to a few MiB (uploads, STOW-RS bodies,
    // files handed to plug-ins). By default each one is mapped afresh and given
    // back on release, so every request pays for zero-filled pages again; kept
    // in the heap, the blocks of one request serve the next. The trim threshold
    // still bounds what an idle host holds.
    const int LARGEST_HEAP_BLOCK = 32 * 1024 * 1024;
    mallopt(M_MMAP_THRESHOLD, LARGEST_HEAP_BLOCK);
    mallopt(M_TRIM_THRESHOLD, 2 * LARGEST_HEAP_BLOCK);
  }

  int RunServer(const std::string& configPath)
  {
    KeepLargeBuffersInTheHeap();

    // The signals are taken synchronously by this thread; every other thread inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    HostConfig config = HostConfig::Load(configPath);
    HostCore core(config);
    core.LoadPlugins();
    if (!core.InitializePlugins())
    {
      core.FinalizePlugins();
      return 1;
    }

    HttpServer server(config, [&core](const RestRequest& request, RestAnswer& answer)
    {
      core.HandleRest(request, true, answer);
    });
    std::unique_ptr<DicomServer> dicom;
    try
    {
      server.Start();
      if (config.dicomPort != 0)
      {
        dicom = std::make_unique<DicomServer>(config, core.GetIngest());
        dicom->Start();
      }
    }
    catch (...)
    {
      core.FinalizePlugins();
      throw;
    }
    core.Started();
    LogInfo(config.name + " has started");

    int received = 0;
    sigwait(&signals, &received);
    LogInfo(std::string("Received ") + (received == SIGINT ? "SIGINT" : "SIGTERM") + ", stopping");

    // Stopped before "stopping" is queued, so that every instance it stored reaches the plug-ins first.
    if (dicom)
    {
      dicom->Stop();
    }
    core.Stopping();
    server.Stop();
    core.FinalizePlugins();
    LogInfo(config.name + " has stopped");
    return 0;
  }
}

int main(int argc, char* argv[])
{
  std::vector<std::string> args(argv + 1, argv + argc);
  try
  {
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h"))
    {
      PrintHelp();
      return 0;
    }
    if (args.size() == 1 && args[0] == "--version")
    {
      std::cout << "kestrum-host " << KESTRUM_HOST_VERSION_TEXT << std::endl;
      return 0;
    }
    if (args.size() == 3 && args[0] == "--get-global-property")
    {
      return GetGlobalProperty(args[1], args[2]);
    }
    if (args.size() == 4 && args[0] == "--set-global-property")
    {
      return SetGlobalProperty(args[1], args[2], args[3]);
    }
    if (args.size() == 1 && !args[0].empty() && args[0][0] != '-')
    {
      return RunServer(args[0]);
    }
    PrintHelp();
    return 2;
  }
  catch (const ConfigurationError& e)
  {
    LogError(std::string("Bad configuration: ") + e.what());
    return 1;
  }
  catch (const HostError& e)
  {
    LogError(e.what());
    return 1;
  }
  catch (const std::exception& e)
  {
    LogError(std::string("Fatal error: ") + e.what());
    return 1;
  }
}
