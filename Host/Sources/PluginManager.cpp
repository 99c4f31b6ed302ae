#include "PluginManager.h"

#include "HostError.h"
#include "HostLog.h"

#include <json/writer.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>

namespace KestrumHost
{
  namespace
  {
    bool IsDirectory(const std::string& path)
    {
      struct stat info;
      return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    }

    bool EndsWith(const std::string& text, const std::string& suffix)
    {
      return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
    }

    /** Host memory handed to a plug-in: malloc'ed, given back through the context's Free. */
    KestrumErrorCode CopyToHostBuffer(const std::string& content, KestrumMemoryBuffer* target)
    {
      if (target == nullptr)
      {
        return Kestrum::ErrorCode_NullPointer;
      }
      if (content.size() > UINT32_MAX)
      {
        return Kestrum::ErrorCode_NotEnoughMemory;
      }
      if (content.empty())
      {
        target->data = nullptr;
        target->size = 0;
        return Kestrum::ErrorCode_Success;
      }
      void* data = std::malloc(content.size());
      if (data == nullptr)
      {
        return Kestrum::ErrorCode_NotEnoughMemory;
      }
      std::memcpy(data, content.data(), content.size());
      target->data = data;
      target->size = static_cast<uint32_t>(content.size());
      return Kestrum::ErrorCode_Success;
    }

    KestrumErrorCode CopyToHostText(const std::string& content, char** target)
    {
      if (target == nullptr)
      {
        return Kestrum::ErrorCode_NullPointer;
      }
      char* text = static_cast<char*>(std::malloc(content.size() + 1));
      if (text == nullptr)
      {
        return Kestrum::ErrorCode_NotEnoughMemory;
      }
      std::memcpy(text, content.data(), content.size());
      text[content.size()] = '\0';
      *target = text;
      return Kestrum::ErrorCode_Success;
    }

    int HexValue(char c)
    {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    }
  }

  std::string PercentDecode(const std::string& text, bool plusIsSpace)
  {
    std::string result;
    result.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++)
    {
      if (text[i] == '%' && i + 2 < text.size() &&
          HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0)
      {
        result += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
        i += 2;
      }
      else if (plusIsSpace && text[i] == '+')
      {
        result += ' ';
      }
      else
      {
        result += text[i];
      }
    }
    return result;
  }

  void ParseUri(const std::string& uri, RestRequest& request)
  {
    size_t question = uri.find('?');
    request.path = PercentDecode(uri.substr(0, question), false);
    request.query.clear();
    if (question == std::string::npos)
    {
      return;
    }
    std::string query = uri.substr(question + 1);
    size_t start = 0;
    while (start <= query.size())
    {
      size_t end = query.find('&', start);
      if (end == std::string::npos)
      {
        end = query.size();
      }
      std::string argument = query.substr(start, end - start);
      if (!argument.empty())
      {
        size_t equal = argument.find('=');
        std::string key = PercentDecode(argument.substr(0, equal), true);
        std::string value = (equal == std::string::npos ? "" : PercentDecode(argument.substr(equal + 1), true));
        request.query.emplace_back(key, value);
      }
      start = end + 1;
    }
  }

  PluginManager::PluginManager(IHostServices& services, const std::string& hostVersion) :
    services_(services),
    hostVersion_(hostVersion)
  {
  }

  PluginManager::~PluginManager()
  {
    // Libraries stay mapped until the process ends: a plug-in's static objects may still run at exit.
  }

  void PluginManager::Load(const std::vector<std::string>& paths)
  {
    for (const std::string& path : paths)
    {
      if (IsDirectory(path))
      {
        std::vector<std::string> libraries;
        if (DIR* directory = opendir(path.c_str()))
        {
          while (dirent* entry = readdir(directory))
          {
            std::string name = entry->d_name;
            if (EndsWith(name, ".so") && !IsDirectory(path + "/" + name))
            {
              libraries.push_back(path + "/" + name);
            }
          }
          closedir(directory);
        }
        std::sort(libraries.begin(), libraries.end());
        for (const std::string& library : libraries)
        {
          LoadOne(library);
        }
      }
      else
      {
        LoadOne(path);
      }
    }
  }

  void PluginManager::LoadOne(const std::string& path)
  {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr)
    {
      const char* error = dlerror();
      throw HostError(Kestrum::ErrorCode_SharedLibrary,
                      "Cannot load the plug-in " + path + ": " + (error ? error : "unknown error"));
    }

    auto plugin = std::make_unique<Plugin>();
    plugin->manager = this;
    plugin->path = path;
    plugin->handle = handle;
    plugin->initialize = reinterpret_cast<KestrumPluginInitializeFunction>(dlsym(handle, "KestrumPluginInitialize"));
    plugin->finalize = reinterpret_cast<KestrumPluginFinalizeFunction>(dlsym(handle, "KestrumPluginFinalize"));
    auto getName = reinterpret_cast<KestrumPluginGetNameFunction>(dlsym(handle, "KestrumPluginGetName"));
    auto getVersion = reinterpret_cast<KestrumPluginGetVersionFunction>(dlsym(handle, "KestrumPluginGetVersion"));
    if (!plugin->initialize || !plugin->finalize || !getName || !getVersion)
    {
      throw HostError(Kestrum::ErrorCode_SharedLibrary,
                      "The shared library " + path + " is not a plug-in: an entry point is missing");
    }
    const char* name = getName();
    const char* version = getVersion();
    plugin->name = (name ? name : "");
    plugin->version = (version ? version : "");
    if (plugin->name.empty())
    {
      throw HostError(Kestrum::ErrorCode_SharedLibrary, "The plug-in " + path + " has no name");
    }
    for (const auto& other : plugins_)
    {
      if (other->name == plugin->name)
      {
        throw HostError(Kestrum::ErrorCode_SharedLibrary,
                        "Two plug-ins are named \"" + plugin->name + "\": " + other->path + " and " + path);
      }
    }

    plugin->context.pluginsManager = plugin.get();
    plugin->context.kestrumVersion = hostVersion_.c_str();
    plugin->context.Free = &std::free;
    plugin->context.InvokeService = &PluginManager::InvokeServiceEntry;

    LogInfo("Loaded plug-in \"" + plugin->name + "\" version " + plugin->version + " from " + path);
    plugins_.push_back(std::move(plugin));
  }

  bool PluginManager::InitializeAll()
  {
    for (auto& plugin : plugins_)
    {
      int32_t result = plugin->initialize(&plugin->context);
      if (result != 0)
      {
        LogError("The plug-in \"" + plugin->name + "\" failed to initialize (code " + std::to_string(result) +
                 ": " + Kestrum::DescribeErrorCode(result) + ")");
        return false;
      }
      plugin->initialized = true;
      LogInfo("Initialized plug-in \"" + plugin->name + "\"");
    }
    return true;
  }

  void PluginManager::FinalizeAll()
  {
    for (auto it = plugins_.rbegin(); it != plugins_.rend(); ++it)
    {
      if ((*it)->initialized)
      {
        (*it)->finalize();
        (*it)->initialized = false;
        LogInfo("Finalized plug-in \"" + (*it)->name + "\"");
      }
    }
  }

  KestrumErrorCode PluginManager::InvokeServiceEntry(KestrumPluginContext* context, int32_t service, const void* params)
  {
    if (context == nullptr || context->pluginsManager == nullptr)
    {
      return Kestrum::ErrorCode_NullPointer;
    }
    Plugin& plugin = *static_cast<Plugin*>(context->pluginsManager);
    try
    {
      return plugin.manager->Invoke(plugin, service, params);
    }
    catch (const HostError& e)
    {
      LogError(e.what());
      return e.GetCode();
    }
    catch (const std::bad_alloc&)
    {
      return Kestrum::ErrorCode_NotEnoughMemory;
    }
    catch (const std::exception& e)
    {
      LogError(std::string("Failure in a plug-in service: ") + e.what());
      return Kestrum::ErrorCode_InternalError;
    }
  }

  KestrumErrorCode PluginManager::Invoke(Plugin& plugin, int32_t service, const void* params)
  {
    if (params == nullptr)
    {
      return Kestrum::ErrorCode_NullPointer;
    }

    switch (service)
    {
      case KestrumService_LogInformation:
        WriteLog(LogLevel::Info, static_cast<const char*>(params));
        return 0;

      case KestrumService_LogWarning:
        WriteLog(LogLevel::Warning, static_cast<const char*>(params));
        return 0;

      case KestrumService_LogError:
        WriteLog(LogLevel::Error, static_cast<const char*>(params));
        return 0;

      case KestrumService_SetPluginProperty:
      {
        const auto& p = *static_cast<const _KestrumSetPluginProperty*>(params);
        std::string owner = (p.plugin != nullptr ? p.plugin : plugin.name);
        std::unique_lock<std::shared_mutex> lock(registrationsMutex_);
        properties_[owner][p.property] = (p.value != nullptr ? p.value : "");
        return 0;
      }

      case KestrumService_GetGlobalProperty:
      {
        const auto& p = *static_cast<const _KestrumGetGlobalProperty*>(params);
        std::string value;
        if (!services_.GetGlobalProperty(p.property, value))
        {
          value = (p.value != nullptr ? p.value : "");
        }
        return CopyToHostText(value, p.result);
      }

      case KestrumService_SetGlobalProperty:
      {
        const auto& p = *static_cast<const _KestrumSetGlobalProperty*>(params);
        services_.SetGlobalProperty(p.property, p.value != nullptr ? p.value : "");
        return 0;
      }

      case KestrumService_GetConfiguration:
      {
        const auto& p = *static_cast<const _KestrumGetConfiguration*>(params);
        return CopyToHostText(services_.GetConfigurationJson(), p.result);
      }

      case KestrumService_CallHttpClient:
        return InvokeHttpClient(*static_cast<const _KestrumCallHttpClient*>(params));

      case KestrumService_RegisterOnChangeCallback:
      {
        const auto& p = *static_cast<const _KestrumOnChangeCallback*>(params);
        if (p.callback == nullptr)
        {
          return Kestrum::ErrorCode_NullPointer;
        }
        std::unique_lock<std::shared_mutex> lock(registrationsMutex_);
        changeCallbacks_.push_back(p.callback);
        return 0;
      }

      case KestrumService_RegisterRestCallbackNoLock:
      {
        const auto& p = *static_cast<const _KestrumRestCallback*>(params);
        if (p.pathRegularExpression == nullptr || p.callback == nullptr)
        {
          return Kestrum::ErrorCode_NullPointer;
        }
        Route route;
        route.expression = p.pathRegularExpression;
        try
        {
          route.regex = boost::regex(route.expression);
        }
        catch (const boost::regex_error&)
        {
          LogError("The plug-in \"" + plugin.name + "\" registered an invalid route: " + route.expression);
          return Kestrum::ErrorCode_ParameterOutOfRange;
        }
        route.callback = p.callback;
        std::unique_lock<std::shared_mutex> lock(registrationsMutex_);
        routes_.push_back(std::move(route));
        return 0;
      }

      case KestrumService_AnswerBuffer:
      {
        const auto& p = *static_cast<const _KestrumAnswerBuffer*>(params);
        if (p.output == nullptr || p.output->answer == nullptr || (p.answer == nullptr && p.answerSize != 0))
        {
          return Kestrum::ErrorCode_NullPointer;
        }
        RestAnswer& answer = *p.output->answer;
        if (answer.answered)
        {
          return Kestrum::ErrorCode_BadSequenceOfCalls;
        }
        answer.SetBody(std::string(static_cast<const char*>(p.answer), p.answerSize),
                       p.mimeType != nullptr ? p.mimeType : "application/octet-stream");
        return 0;
      }

      case KestrumService_SendMethodNotAllowed:
      {
        const auto& p = *static_cast<const _KestrumOutputAllowedMethods*>(params);
        if (p.output == nullptr || p.output->answer == nullptr)
        {
          return Kestrum::ErrorCode_NullPointer;
        }
        RestAnswer& answer = *p.output->answer;
        if (answer.answered)
        {
          return Kestrum::ErrorCode_BadSequenceOfCalls;
        }
        std::string allowed = (p.allowedMethods != nullptr ? p.allowedMethods : "");
        answer.SetError(Kestrum::ErrorCode_BadRequest, 405, "Allowed methods: " + allowed);
        answer.headers.emplace_back("Allow", allowed);
        return 0;
      }

      case KestrumService_RestApiGet:
      case KestrumService_RestApiGetAfterPlugins:
      {
        const auto& p = *static_cast<const _KestrumRestApiGet*>(params);
        return InvokeRest(KestrumHttpMethod_Get, p.uri, nullptr, 0,
                          service == KestrumService_RestApiGetAfterPlugins, p.target);
      }

      case KestrumService_RestApiDelete:
      case KestrumService_RestApiDeleteAfterPlugins:
        return InvokeRest(KestrumHttpMethod_Delete, static_cast<const char*>(params), nullptr, 0,
                          service == KestrumService_RestApiDeleteAfterPlugins, nullptr);

      case KestrumService_RestApiPut:
      case KestrumService_RestApiPutAfterPlugins:
      {
        const auto& p = *static_cast<const _KestrumRestApiPut*>(params);
        return InvokeRest(KestrumHttpMethod_Put, p.uri, p.body, p.bodySize,
                          service == KestrumService_RestApiPutAfterPlugins, p.target);
      }

      default:
        LogError("The plug-in \"" + plugin.name + "\" invoked an unknown service: " + std::to_string(service));
        return Kestrum::ErrorCode_UnknownPluginService;
    }
  }

  KestrumErrorCode PluginManager::InvokeRest(KestrumHttpMethod method, const char* uri, const void* body,
                                             uint32_t bodySize, bool withPlugins, KestrumMemoryBuffer* target)
  {
    if (uri == nullptr || (body == nullptr && bodySize != 0))
    {
      return Kestrum::ErrorCode_NullPointer;
    }
    if (target != nullptr)
    {
      target->data = nullptr;
      target->size = 0;
    }

    RestRequest request;
    request.method = method;
    ParseUri(uri, request);
    if (bodySize != 0)
    {
      request.body.assign(static_cast<const char*>(body), bodySize);
    }

    RestAnswer answer;
    services_.HandleRest(request, withPlugins, answer);
    if (answer.errorCode != 0)
    {
      return answer.errorCode;
    }
    if (answer.status >= 400)
    {
      return Kestrum::ErrorCode_BadRequest;
    }
    return (target != nullptr ? CopyToHostBuffer(answer.body, target) : Kestrum::ErrorCode_Success);
  }

  KestrumErrorCode PluginManager::InvokeHttpClient(const _KestrumCallHttpClient& p)
  {
    if (p.answerBody == nullptr || p.answerHeaders == nullptr || p.url == nullptr ||
        (p.headersCount > 0 && (p.headersKeys == nullptr || p.headersValues == nullptr)) ||
        (p.body == nullptr && p.bodySize != 0))
    {
      return Kestrum::ErrorCode_NullPointer;
    }

    OutgoingRequest request;
    request.method = p.method;
    request.url = p.url;
    for (uint32_t i = 0; i < p.headersCount; i++)
    {
      if (p.headersKeys[i] == nullptr)
      {
        return Kestrum::ErrorCode_NullPointer;
      }
      request.headers.emplace_back(p.headersKeys[i], p.headersValues[i] != nullptr ? p.headersValues[i] : "");
    }
    request.body = p.body;
    request.bodySize = p.bodySize;
    request.username = p.username;
    request.password = p.password;
    request.timeout = p.timeout;
    request.certificateFile = p.certificateFile;
    request.certificateKeyFile = p.certificateKeyFile;
    request.certificateKeyPassword = p.certificateKeyPassword;
    request.pkcs11 = (p.pkcs11 != 0);

    OutgoingAnswer answer;
    Kestrum::ErrorCode code = services_.CallHttpClient(request, answer);
    if (p.httpStatus != nullptr)
    {
      *p.httpStatus = answer.status;
    }
    if (code != Kestrum::ErrorCode_Success)
    {
      return code;
    }

    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    KestrumErrorCode copied = CopyToHostBuffer(Json::writeString(builder, answer.headers), p.answerHeaders);
    if (copied != 0)
    {
      return copied;
    }
    copied = CopyToHostBuffer(answer.body, p.answerBody);
    if (copied != 0)
    {
      std::free(p.answerHeaders->data);
      p.answerHeaders->data = nullptr;
      p.answerHeaders->size = 0;
    }
    return copied;
  }

  bool PluginManager::HandleRoute(const RestRequest& request, RestAnswer& answer) const
  {
    std::shared_lock<std::shared_mutex> lock(registrationsMutex_);
    for (const Route& route : routes_)
    {
      boost::smatch match;
      if (!boost::regex_match(request.path, match, route.regex))
      {
        continue;
      }
      KestrumRestCallback callback = route.callback;
      lock.unlock();  // routes are never removed; callbacks run without any host lock

      std::vector<std::string> groups;
      for (size_t i = 1; i < match.size(); i++)
      {
        groups.push_back(match[i].str());
      }
      std::vector<const char*> groupPointers;
      for (const std::string& group : groups)
      {
        groupPointers.push_back(group.c_str());
      }
      std::vector<const char*> keys;
      std::vector<const char*> values;
      for (const auto& argument : request.query)
      {
        keys.push_back(argument.first.c_str());
        values.push_back(argument.second.c_str());
      }

      KestrumHttpRequest pluginRequest;
      pluginRequest.method = request.method;
      pluginRequest.groupsCount = static_cast<uint32_t>(groupPointers.size());
      pluginRequest.groups = groupPointers.empty() ? nullptr : groupPointers.data();
      pluginRequest.getCount = static_cast<uint32_t>(keys.size());
      pluginRequest.getKeys = keys.empty() ? nullptr : keys.data();
      pluginRequest.getValues = values.empty() ? nullptr : values.data();
      pluginRequest.body = request.body.empty() ? nullptr : request.body.data();
      pluginRequest.bodySize = static_cast<uint32_t>(request.body.size());

      KestrumRestOutput output{&answer};
      KestrumErrorCode code;
      try
      {
        code = callback(&output, request.path.c_str(), &pluginRequest);
      }
      catch (...)
      {
        code = Kestrum::ErrorCode_Plugin;
      }
      if (code != 0)
      {
        answer.headers.clear();
        answer.SetError(static_cast<Kestrum::ErrorCode>(code));
      }
      else if (!answer.answered)
      {
        answer.SetBody("", "text/plain");
      }
      return true;
    }
    return false;
  }

  void PluginManager::NotifyChange(int32_t changeType, int32_t resourceType, const std::string& resourceId) const
  {
    std::vector<KestrumOnChangeCallback> callbacks;
    {
      std::shared_lock<std::shared_mutex> lock(registrationsMutex_);
      callbacks = changeCallbacks_;
    }
    for (KestrumOnChangeCallback callback : callbacks)
    {
      try
      {
        int32_t result = callback(changeType, resourceType, resourceId.c_str());
        if (result != 0)
        {
          LogWarning("A change callback failed with code " + std::to_string(result));
        }
      }
      catch (...)
      {
        LogError("A change callback let an exception escape");
      }
    }
  }

  std::vector<std::string> PluginManager::ListPluginNames() const
  {
    std::vector<std::string> names;
    for (const auto& plugin : plugins_)
    {
      names.push_back(plugin->name);
    }
    return names;
  }

  bool PluginManager::DescribePlugin(const std::string& name, Json::Value& description) const
  {
    for (const auto& plugin : plugins_)
    {
      if (plugin->name != name)
      {
        continue;
      }
      description = Json::Value(Json::objectValue);
      description["ID"] = plugin->name;
      description["Version"] = plugin->version;
      description["Path"] = plugin->path;
      std::shared_lock<std::shared_mutex> lock(registrationsMutex_);
      auto found = properties_.find(plugin->name);
      if (found != properties_.end())
      {
        for (const auto& property : found->second)
        {
          switch (property.first)
          {
            case KestrumProperty_Description: description["Description"] = property.second; break;
            case KestrumProperty_RootUri: description["RootUri"] = property.second; break;
            case KestrumProperty_ExplorerExtension: description["ExtendsKestrumExplorer"] = true; break;
            default: break;
          }
        }
      }
      return true;
    }
    return false;
  }

  std::string PluginManager::GetExplorerExtensions() const
  {
    std::string result;
    std::shared_lock<std::shared_mutex> lock(registrationsMutex_);
    for (const auto& plugin : plugins_)
    {
      auto found = properties_.find(plugin->name);
      if (found != properties_.end())
      {
        auto extension = found->second.find(KestrumProperty_ExplorerExtension);
        if (extension != found->second.end())
        {
          result += "\n// Explorer extension of the plug-in " + plugin->name + "\n" + extension->second + "\n";
        }
      }
    }
    return result;
  }

  std::map<std::string, std::string> PluginManager::GetRootUris() const
  {
    std::map<std::string, std::string> result;
    std::shared_lock<std::shared_mutex> lock(registrationsMutex_);
    for (const auto& plugin : plugins_)
    {
      auto found = properties_.find(plugin->name);
      if (found != properties_.end())
      {
        auto root = found->second.find(KestrumProperty_RootUri);
        if (root != found->second.end())
        {
          result[plugin->name] = root->second;
        }
      }
    }
    return result;
  }
}
