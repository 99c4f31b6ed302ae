/**
 * Runs one transfer client of the plug-in against a real server, outside any
 * host: a minimal host context whose outgoing-HTTP service is the libcurl
 * client of kestrum-host's core, and whose log goes to stderr.
 *
 *   quelby-client-driver KIND URL [--header NAME=VALUE]... [--no-compress]
 *                        [--test-connection] [--dump-body FILE] [UID=PATH]...
 *
 * KIND: "dicomweb" (a generic DICOMweb root), "peer" (a Kestrum REST API) or
 * "vexa" (the portal's native API). The client is built by the factory.
 * stdout gets one "request METHOD URL" line per outgoing request and then
 * "result true" or "result false"; the exit status is 0 for true, 1 for
 * false, 2 for a usage error or an exception. With --dump-body, no request
 * leaves the process: each request body is written to FILE and the request
 * fails as a transport failure would.
 */

#include <Destinations/ServerTypes.h>
#include <HostBridge/HostBridge.h>
#include <TransferClients/ITransferClient.h>

#include <HttpClient.h>
#include <KestrumException.h>
#include <Logging.h>

#include <json/writer.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>

namespace
{
  std::unique_ptr<KestrumHost::HttpClient> httpClient;
  std::string dumpPath;

  KestrumErrorCode CopyToBuffer(const std::string& content, KestrumMemoryBuffer* target)
  {
    target->data = std::malloc(content.empty() ? 1 : content.size());
    if (target->data == nullptr)
    {
      target->size = 0;
      return Kestrum::ErrorCode_NotEnoughMemory;
    }
    if (!content.empty())
    {
      std::memcpy(target->data, content.data(), content.size());
    }
    target->size = static_cast<uint32_t>(content.size());
    return 0;
  }

  const char* MethodName(int32_t method)
  {
    switch (method)
    {
      case KestrumHttpMethod_Get: return "GET";
      case KestrumHttpMethod_Post: return "POST";
      case KestrumHttpMethod_Put: return "PUT";
      case KestrumHttpMethod_Delete: return "DELETE";
      default: return "?";
    }
  }

  // The peer client uploads from several threads: each line is printed whole.
  void PrintLine(std::ostream& stream, const std::string& line)
  {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    stream << line << std::endl;
  }

  KestrumErrorCode CallHttpClient(const _KestrumCallHttpClient& p)
  {
    PrintLine(std::cout, "request " + std::string(MethodName(p.method)) + " " + p.url);

    if (!dumpPath.empty())
    {
      std::ofstream dump(dumpPath, std::ios::binary);
      dump.write(static_cast<const char*>(p.body), p.bodySize);
      for (uint32_t i = 0; i < p.headersCount; i++)
      {
        std::cout << "header " << p.headersKeys[i] << ": " << p.headersValues[i] << std::endl;
      }
      return Kestrum::ErrorCode_NetworkProtocol;
    }

    KestrumHost::OutgoingRequest request;
    request.method = p.method;
    request.url = p.url;
    for (uint32_t i = 0; i < p.headersCount; i++)
    {
      request.headers.emplace_back(p.headersKeys[i], p.headersValues[i]);
    }
    request.body = p.body;
    request.bodySize = p.bodySize;
    request.timeout = p.timeout;

    KestrumHost::OutgoingAnswer answer;
    std::string error;
    const Kestrum::ErrorCode code = httpClient->Execute(request, answer, error);
    *p.httpStatus = answer.status;
    if (code != Kestrum::ErrorCode_Success)
    {
      PrintLine(std::cerr, "transport: " + error + " (status " + std::to_string(answer.status) + ")");
      return code;
    }

    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    KestrumErrorCode copied = CopyToBuffer(Json::writeString(builder, answer.headers), p.answerHeaders);
    if (copied == 0)
    {
      copied = CopyToBuffer(answer.body, p.answerBody);
    }
    return copied;
  }

  KestrumErrorCode InvokeService(KestrumPluginContext*, int32_t service, const void* params)
  {
    switch (service)
    {
      case KestrumService_LogError:
        PrintLine(std::cerr, "E " + std::string(static_cast<const char*>(params)));
        return 0;
      case KestrumService_LogWarning:
        PrintLine(std::cerr, "W " + std::string(static_cast<const char*>(params)));
        return 0;
      case KestrumService_LogInformation:
        return 0;
      case KestrumService_CallHttpClient:
        return CallHttpClient(*static_cast<const _KestrumCallHttpClient*>(params));
      default:
        return Kestrum::ErrorCode_UnknownPluginService;
    }
  }

  std::string ReadFile(const std::string& path)
  {
    std::ifstream file(path, std::ios::binary);
    if (!file)
    {
      throw std::runtime_error("cannot read " + path);
    }
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
  }

  int Usage()
  {
    std::cerr << "usage: quelby-client-driver dicomweb|peer|vexa URL [--header NAME=VALUE]... "
                 "[--no-compress] [--test-connection] [--dump-body FILE] [UID=PATH]..." << std::endl;
    return 2;
  }
}


int main(int argc, char** argv)
{
  if (argc < 3)
  {
    return Usage();
  }

  const std::string kind = argv[1];
  QuelbyCloud::ServerConfiguration server;
  server.SetUrl(argv[2]);
  if (kind == "dicomweb")
  {
    server.SetServerType(QuelbyCloud::ServerType_Generic);
    server.SetProtocolType(QuelbyCloud::ProtocolType_DicomWeb);
  }
  else if (kind == "peer")
  {
    server.SetServerType(QuelbyCloud::ServerType_Kestrum);
    server.SetProtocolType(QuelbyCloud::ProtocolType_Native);
  }
  else if (kind == "vexa")
  {
    server.SetServerType(QuelbyCloud::ServerType_Vexa);
    server.SetProtocolType(QuelbyCloud::ProtocolType_Native);
  }
  else
  {
    return Usage();
  }

  bool testConnection = false;
  std::vector<std::pair<std::string, std::string> > instances;
  for (int i = 3; i < argc; i++)
  {
    const std::string argument = argv[i];
    if (argument == "--header" && i + 1 < argc)
    {
      const std::string header = argv[++i];
      const size_t equal = header.find('=');
      if (equal == std::string::npos)
      {
        return Usage();
      }
      server.SetHttpHeader(header.substr(0, equal), header.substr(equal + 1));
    }
    else if (argument == "--no-compress")
    {
      server.SetCompress(false);
    }
    else if (argument == "--test-connection")
    {
      testConnection = true;
    }
    else if (argument == "--dump-body" && i + 1 < argc)
    {
      dumpPath = argv[++i];
    }
    else if (argument.find('=') != std::string::npos)
    {
      const size_t equal = argument.find('=');
      instances.push_back(std::make_pair(argument.substr(0, equal), argument.substr(equal + 1)));
    }
    else
    {
      return Usage();
    }
  }

  KestrumPluginContext context = { nullptr, "mainline", &std::free, &InvokeService };
  QuelbyCloud::HostBridge bridge(&context);
  Kestrum::Logging::SetSink(&bridge);

  try
  {
    KestrumHost::HostConfig config;
    config.httpConnectTo.clear();
    httpClient.reset(new KestrumHost::HttpClient(config));

    std::unique_ptr<QuelbyCloud::ITransferClient> client = QuelbyCloud::CreateTransferClient(bridge, server);

    bool result;
    if (testConnection)
    {
      result = client->TestConnection();
    }
    else
    {
      for (const std::pair<std::string, std::string>& instance : instances)
      {
        client->AddInstance(instance.first, ReadFile(instance.second));
      }
      result = client->Send();
    }

    std::cout << "result " << (result ? "true" : "false") << std::endl;
    return result ? 0 : 1;
  }
  catch (const std::exception& e)
  {
    std::cerr << "exception: " << e.what() << std::endl;
    return 2;
  }
}
