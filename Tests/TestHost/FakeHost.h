/**
 * In-process test host: the host side of the plug-in interface, in C++.
 *
 * It records every service call the plug-in makes (with its parameters
 * decoded), answers them from what the test scripted, allocates every block
 * it hands out through a counter so that leaks of host memory show up, and
 * can call the registered REST routes and the change callback as a host would.
 *
 * Usage in a unit test (the fixtures of FakeHostTest.h make a host per test,
 * a bridge to it, and check host memory after the test):
 *
 *   class MyTest : public QuelbyCloud::Testing::FakeHostTest {};
 *
 *   TEST_F(MyTest, StampsInstance)
 *   {
 *     host.OnRestGet("/instances/abc").Answer("{\"ID\":\"abc\"}")
 *         .OnRestPut("/instances/abc/metadata/4455").Answer("")
 *         .OnHttpPrefix("https://peer/").Compute([](const FakeHost::HttpRequest& r) {
 *            return FakeHost::HttpReply::Ok("{}"); });
 *     ... call the code under test ...
 *     EXPECT_EQ(1u, host.RestCalls("PUT").size());
 *     EXPECT_TRUE(host.HasError("Quelby cloud: ..."));
 *   }
 *
 * Routes registered by the plug-in are reached with CallRoute("GET", "/plugins/quelby-cloud/api/status"),
 * a handler alone with CallHandler(callback, method, groups, body).
 *
 * PluginTest (FakeHostTest.h) starts the whole plug-in on the host of its test
 * through the entry points, as a host would.
 *
 * Every member is thread-safe; scripted callbacks run without the host's lock.
 */
#pragma once

#include <Plugins/KestrumPluginInterface.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace QuelbyCloud
{
  namespace Testing
  {
    class FakeHost
    {
    public:
      /** One entry of the ordered list of every service call. */
      struct ServiceCall
      {
        int32_t service;
        std::string key;    // log text, property number, URI, URL or route expression
        std::string body;   // property value, request body, answer body
      };

      /** A line sent to the host's log: service 1 (information), 2 (warning) or 3 (error). */
      struct LogEntry
      {
        int32_t service;
        std::string text;
      };

      /** Service 7. */
      struct PropertySet
      {
        std::string plugin;
        int32_t property;
        std::string value;
      };

      /** Services 8 (read: value is the default passed) and 9 (write: value is the value stored). */
      struct GlobalPropertyAccess
      {
        bool write;
        int32_t property;
        std::string value;
      };

      /** Services 3001/3010, 3004/3013 and 3003/3012, with the method as "GET", "PUT" or "DELETE". */
      struct RestCall
      {
        int32_t service;
        std::string method;
        std::string uri;
        std::string body;
        bool withPlugins;
      };

      /** Service 27, every one of the 17 fields decoded. Null pointers are kept apart from empty texts. */
      struct HttpRequest
      {
        int32_t method;
        std::string url;
        uint32_t headersCount;
        bool headersKeysNull;
        bool headersValuesNull;
        std::map<std::string, std::string> headers;
        bool bodyNull;
        uint32_t bodySize;
        std::string body;
        std::optional<std::string> username;
        std::optional<std::string> password;
        uint32_t timeout;
        std::optional<std::string> certificateFile;
        std::optional<std::string> certificateKeyFile;
        std::optional<std::string> certificateKeyPassword;
        uint8_t pkcs11;
      };

      /** Service 1004. */
      struct Route
      {
        std::string regex;
        KestrumRestCallback callback;
      };

      /** What the host answers to a REST call of the plug-in: a body, or a failing code. */
      struct RestReply
      {
        int32_t code = 0;
        std::string body;

        static RestReply Ok(const std::string& body) { RestReply r; r.body = body; return r; }
        static RestReply Failure(int32_t code) { RestReply r; r.code = code; return r; }
      };

      /** What the host answers to an outgoing request: a failing code, or status, headers JSON and body. */
      struct HttpReply
      {
        int32_t code = 0;
        uint16_t status = 200;
        std::string headers = "{}";
        std::string body;

        static HttpReply Ok(const std::string& body, uint16_t status = 200,
                            const std::string& headers = "{}")
        {
          HttpReply r; r.status = status; r.headers = headers; r.body = body; return r;
        }
        static HttpReply Failure(int32_t code) { HttpReply r; r.code = code; r.status = 0; return r; }
        /** A failing code with the HTTP status that made the host fail, as hosts report an error status. */
        static HttpReply Failure(int32_t code, uint16_t status) { HttpReply r; r.code = code; r.status = status; return r; }
      };

      /** What the HTTP client of a route received. */
      struct RouteAnswer
      {
        bool matched = false;           // a registered route matched the path
        int32_t callbackCode = 0;       // result of the callback
        int status = 0;                 // 200 (service 2000), 405 (2005), mapped error, 404 unmatched; 0 if not answered
        std::string body;
        std::string mimeType;
        std::string allowedMethods;     // of a 405
        unsigned int answerCount = 0;   // services 2000/2005 called for this request (at most 1 expected)
      };

      typedef std::function<RestReply(const RestCall&)> RestComputer;
      typedef std::function<HttpReply(const HttpRequest&)> HttpComputer;

      /** Fluent scripting of a REST answer; each method returns the host for chaining. */
      class RestScript
      {
      private:
        FakeHost& host_;
        std::string method_;
        std::string uri_;
        bool prefix_;

      public:
        RestScript(FakeHost& host, const std::string& method, const std::string& uri, bool prefix) :
          host_(host), method_(method), uri_(uri), prefix_(prefix) {}

        FakeHost& Answer(const std::string& body);
        FakeHost& Fail(int32_t code);
        FakeHost& Compute(RestComputer computer);
      };

      /** Fluent scripting of an outgoing HTTP answer. */
      class HttpScript
      {
      private:
        FakeHost& host_;
        std::string url_;
        bool prefix_;

      public:
        HttpScript(FakeHost& host, const std::string& url, bool prefix) :
          host_(host), url_(url), prefix_(prefix) {}

        FakeHost& Answer(uint16_t status, const std::string& body, const std::string& headersJson = "{}");
        FakeHost& Fail(int32_t code, uint16_t status = 0);
        FakeHost& Compute(HttpComputer computer);
      };

    private:
      struct Binding;                         // the context record and a pointer back here
      struct RestOutput;

      std::unique_ptr<Binding> binding_;
      mutable std::mutex mutex_;

      std::string version_;
      std::vector<ServiceCall> calls_;
      std::vector<LogEntry> logs_;
      std::vector<PropertySet> propertySets_;
      std::vector<GlobalPropertyAccess> globalPropertyAccesses_;
      std::vector<RestCall> restCalls_;
      std::vector<HttpRequest> httpRequests_;
      std::vector<Route> routes_;
      std::vector<KestrumOnChangeCallback> changeCallbacks_;

      std::map<std::string, RestComputer> restExact_;     // key: method + " " + uri
      std::map<std::string, RestComputer> restPrefix_;
      std::map<std::string, HttpComputer> httpExact_;
      std::map<std::string, HttpComputer> httpPrefix_;
      std::map<int32_t, std::string> globalProperties_;
      std::map<int32_t, int32_t> globalPropertyReadFailures_;
      std::map<int32_t, int32_t> globalPropertyWriteFailures_;
      std::map<int32_t, int32_t> serviceFailures_;
      std::optional<std::string> configuration_;           // empty optional: service 13 gives a null text
      int32_t configurationFailure_;
      bool allocateEmptyAnswers_;

      static KestrumErrorCode InvokeServiceEntry(KestrumPluginContext* context, int32_t service, const void* params);
      KestrumErrorCode InvokeService(int32_t service, const void* params);

      KestrumErrorCode HandleLog(int32_t service, const char* text);
      KestrumErrorCode HandleSetProperty(const _KestrumSetPluginProperty& p);
      KestrumErrorCode HandleGetGlobalProperty(const _KestrumGetGlobalProperty& p);
      KestrumErrorCode HandleSetGlobalProperty(const _KestrumSetGlobalProperty& p);
      KestrumErrorCode HandleGetConfiguration(const _KestrumGetConfiguration& p);
      KestrumErrorCode HandleHttpClient(const _KestrumCallHttpClient& p);
      KestrumErrorCode HandleRestGet(int32_t service, const _KestrumRestApiGet& p);
      KestrumErrorCode HandleRestPut(int32_t service, const _KestrumRestApiPut& p);
      KestrumErrorCode HandleRestDelete(int32_t service, const char* uri);
      KestrumErrorCode HandleAnswer(int32_t service, const void* params);

      RestReply ComputeRest(const RestCall& call);
      void FillBuffer(KestrumMemoryBuffer* target, const std::string& content);
      RouteAnswer Invoke(KestrumRestCallback callback, const std::string& method, const std::string& url,
                         const std::vector<std::string>& groups, const std::string& body);

    public:
      explicit FakeHost(const std::string& version = "1.12.0");
      ~FakeHost();

      FakeHost(const FakeHost&) = delete;
      FakeHost& operator=(const FakeHost&) = delete;

      /** The context record to hand to the plug-in. */
      KestrumPluginContext* GetContext();

      /** Forgets every record and script (routes and change callback included); version and memory count stay. */
      void Reset();

      void SetVersion(const std::string& version);

      // ---- Scripting -------------------------------------------------------

      /** Exact URI, or the longest scripted prefix; anything else fails with 17 (unknown resource). */
      RestScript OnRestGet(const std::string& uri) { return RestScript(*this, "GET", uri, false); }
      RestScript OnRestGetPrefix(const std::string& prefix) { return RestScript(*this, "GET", prefix, true); }
      RestScript OnRestPut(const std::string& uri) { return RestScript(*this, "PUT", uri, false); }
      RestScript OnRestPutPrefix(const std::string& prefix) { return RestScript(*this, "PUT", prefix, true); }
      RestScript OnRestDelete(const std::string& uri) { return RestScript(*this, "DELETE", uri, false); }
      RestScript OnRestDeletePrefix(const std::string& prefix) { return RestScript(*this, "DELETE", prefix, true); }

      /** Exact URL, or the longest scripted prefix; anything else fails with 9 (network protocol). */
      HttpScript OnHttp(const std::string& url) { return HttpScript(*this, url, false); }
      HttpScript OnHttpPrefix(const std::string& prefix) { return HttpScript(*this, prefix, true); }

      /** Stored global property (a later write replaces it; a property never stored reads as the default). */
      FakeHost& SetGlobalProperty(int32_t property, const std::string& value);
      FakeHost& FailGlobalPropertyRead(int32_t property, int32_t code);
      FakeHost& FailGlobalPropertyWrite(int32_t property, int32_t code);

      /** Service 13 answers this text (default "{}"). */
      FakeHost& SetConfiguration(const std::string& json);
      /** Service 13 succeeds with a null text. */
      FakeHost& SetConfigurationNull();
      FakeHost& FailConfiguration(int32_t code);

      /** Every call of this service fails with the code (recorded, no effect). 0 removes the failure. */
      FakeHost& FailService(int32_t service, int32_t code);

      /** By default an empty answer is still a (1-byte) block, so that a plug-in must give it back too. */
      FakeHost& AllocateEmptyAnswers(bool allocate);

      // ---- Records ---------------------------------------------------------

      std::vector<ServiceCall> Calls() const;
      size_t CountCalls(int32_t service) const;
      std::vector<LogEntry> Logs() const;
      std::vector<std::string> Errors() const;
      std::vector<std::string> Warnings() const;
      std::vector<std::string> Infos() const;
      bool HasError(const std::string& text) const;
      bool HasWarning(const std::string& text) const;
      std::vector<PropertySet> PropertySets() const;
      std::vector<GlobalPropertyAccess> GlobalPropertyAccesses() const;
      std::optional<std::string> GetGlobalProperty(int32_t property) const;
      /** Reads of one global property. */
      size_t CountGlobalPropertyReads(int32_t property) const;
      /** Every REST call, or only those of one method ("GET", "PUT", "DELETE"). */
      std::vector<RestCall> RestCalls(const std::string& method = "") const;
      std::vector<HttpRequest> HttpRequests() const;
      std::vector<Route> Routes() const;
      size_t CountChangeCallbacks() const;

      // ---- Acting as the host ------------------------------------------------

      /** Matches the path against the routes in registration order (full match) and calls the first match. */
      RouteAnswer CallRoute(const std::string& method, const std::string& path, const std::string& body = "");

      /** Calls one REST callback directly with the given URI groups. */
      RouteAnswer CallHandler(KestrumRestCallback callback, const std::string& method,
                              const std::vector<std::string>& groups = {},
                              const std::string& body = "", const std::string& url = "");

      /** Calls every registered change callback; returns the first non-zero result, else 0. */
      int32_t NotifyChange(int32_t changeType, int32_t resourceType, const std::string& resourceId);

      // ---- Host memory (counted over every FakeHost of the process) ----------

      /** Blocks handed to the plug-in and not given back yet. */
      static size_t LiveAllocations();
      /** Calls of the free function with a pointer that is not a live block (double or foreign free). */
      static size_t BadFrees();
      /** Forgets the live blocks and the bad frees (after a failed leak check). */
      static void ForgetAllocations();
      /** A block counted like those of the host (for tests that build host buffers themselves). */
      static void* Allocate(const void* data, size_t size);
      static void Free(void* block);
    };
  }
}
