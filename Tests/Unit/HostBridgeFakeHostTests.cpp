// The in-process test host must behave like a host where the plug-in's tests
// rely on it: route order and full matches, answers, memory accounting.

#include <FakeHostTest.h>
#include <KestrumException.h>

using QuelbyCloud::Testing::FakeHost;

namespace
{
  // The callbacks have no user data: they reach the host of the running test here.
  KestrumPluginContext* routeHost = nullptr;

  void Answer(KestrumRestOutput* output, const std::string& body)
  {
    _KestrumAnswerBuffer answer = { output, body.data(), static_cast<uint32_t>(body.size()), "text/plain" };
    routeHost->InvokeService(routeHost, KestrumService_AnswerBuffer, &answer);
  }

  KestrumErrorCode Library(KestrumRestOutput* output, const char*, const KestrumHttpRequest* request)
  {
    Answer(output, std::string("library:") + request->groups[0]);
    return 0;
  }

  KestrumErrorCode Pages(KestrumRestOutput* output, const char*, const KestrumHttpRequest* request)
  {
    Answer(output, std::string("page:") + request->groups[0]);
    return 0;
  }

  KestrumErrorCode PostOnly(KestrumRestOutput* output, const char*, const KestrumHttpRequest* request)
  {
    if (request->method != KestrumHttpMethod_Post)
    {
      _KestrumOutputAllowedMethods allowed = { output, "POST" };
      routeHost->InvokeService(routeHost, KestrumService_SendMethodNotAllowed, &allowed);
      return 0;
    }
    Answer(output, std::string(static_cast<const char*>(request->body), request->bodySize));
    Answer(output, "second answer");
    return 0;
  }

  KestrumErrorCode Missing(KestrumRestOutput*, const char*, const KestrumHttpRequest*)
  {
    return Kestrum::ErrorCode_InexistentItem;
  }

  void Register(const char* regex, KestrumRestCallback callback)
  {
    _KestrumRestCallback route = { regex, callback };
    ASSERT_EQ(0, routeHost->InvokeService(routeHost, KestrumService_RegisterRestCallbackNoLock, &route));
  }
}

class FakeHostRoutesTest : public QuelbyCloud::Testing::FakeHostTest
{
protected:
  void SetUp() override
  {
    FakeHostTest::SetUp();
    routeHost = host.GetContext();
    Register("/plugins/p/app/(js/.*)", &Library);
    Register("/plugins/p/app/(.*)", &Pages);
    Register("/plugins/p/api/echo", &PostOnly);
    Register("/plugins/p/api/missing", &Missing);
  }
};

TEST_F(FakeHostRoutesTest, FirstRegisteredFullMatchWins)
{
  EXPECT_EQ("library:js/app.js", host.CallRoute("GET", "/plugins/p/app/js/app.js").body);
  EXPECT_EQ("page:index.html", host.CallRoute("GET", "/plugins/p/app/index.html").body);
  EXPECT_EQ("page:css/js/x", host.CallRoute("GET", "/plugins/p/app/css/js/x").body);

  const auto unmatched = host.CallRoute("GET", "/plugins/p/api/echo/more");   // a prefix match is no match
  EXPECT_FALSE(unmatched.matched);
  EXPECT_EQ(404, unmatched.status);
  EXPECT_EQ(4u, host.Routes().size());
}

TEST_F(FakeHostRoutesTest, AnswersMethodsAndErrorCodes)
{
  const auto wrongMethod = host.CallRoute("GET", "/plugins/p/api/echo");
  EXPECT_EQ(405, wrongMethod.status);
  EXPECT_EQ("POST", wrongMethod.allowedMethods);

  const auto echoed = host.CallRoute("POST", "/plugins/p/api/echo", "{\"a\":1}");
  EXPECT_EQ(200, echoed.status);
  EXPECT_EQ("{\"a\":1}", echoed.body);
  EXPECT_EQ("text/plain", echoed.mimeType);
  EXPECT_EQ(2u, echoed.answerCount);   // the second answer was refused and counted

  const auto missing = host.CallRoute("GET", "/plugins/p/api/missing");
  EXPECT_EQ(Kestrum::ErrorCode_InexistentItem, missing.callbackCode);
  EXPECT_EQ(404, missing.status);
}

class FakeHostTestHost : public QuelbyCloud::Testing::FakeHostTest
{
};

TEST_F(FakeHostTestHost, GlobalPropertiesAndMemoryAccounting)
{
  KestrumPluginContext* context = host.GetContext();
  host.SetGlobalProperty(5467, "stored");

  char* text = nullptr;
  _KestrumGetGlobalProperty read = { &text, 5467, "" };
  ASSERT_EQ(0, context->InvokeService(context, KestrumService_GetGlobalProperty, &read));
  EXPECT_STREQ("stored", text);
  EXPECT_EQ(1u, FakeHost::LiveAllocations());
  context->Free(text);
  context->Free(text);   // a double free is noticed
  EXPECT_EQ(0u, FakeHost::LiveAllocations());
  EXPECT_EQ(1u, FakeHost::BadFrees());
  FakeHost::ForgetAllocations();

  _KestrumSetGlobalProperty write = { nullptr, 5467, "written" };
  ASSERT_EQ(0, context->InvokeService(context, KestrumService_SetGlobalProperty, &write));
  EXPECT_EQ("written", host.GetGlobalProperty(5467).value_or(""));

  _KestrumGetGlobalProperty other = { &text, 1, "default" };
  ASSERT_EQ(0, context->InvokeService(context, KestrumService_GetGlobalProperty, &other));
  EXPECT_STREQ("default", text);
  context->Free(text);

  host.FailGlobalPropertyWrite(5467, Kestrum::ErrorCode_Database);
  EXPECT_EQ(Kestrum::ErrorCode_Database, context->InvokeService(context, KestrumService_SetGlobalProperty, &write));
  EXPECT_EQ(Kestrum::ErrorCode_UnknownPluginService, context->InvokeService(context, 4242, &write));
}
