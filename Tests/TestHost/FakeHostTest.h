/**
 * GoogleTest fixtures over the in-process test host. Each test gets a host of
 * its own and a bridge to it, which also receives the framework's log lines;
 * after the test no host block may be left alive or freed twice.
 *
 *   class HostRestApiTest : public QuelbyCloud::Testing::FakeHostTest {};
 *   TEST_F(HostRestApiTest, ...) { host.OnRestGet("/x").Answer("{}"); HostRestGet(bridge, "/x", false); }
 *
 * PluginTest also starts the whole plug-in on that host through its entry
 * points, and finalizes it after the test.
 */
#pragma once

#include "FakeHost.h"

#include <HostBridge/HostBridge.h>
#include <Logging.h>
#include <QuelbyCloudPlugin.h>

#include <gtest/gtest.h>

#include <memory>

extern "C"
{
  int32_t KestrumPluginInitialize(KestrumPluginContext* context);
  void KestrumPluginFinalize();
}

namespace QuelbyCloud
{
  namespace Testing
  {
    class FakeHostTest : public ::testing::Test
    {
    protected:
      FakeHost host;
      HostBridge bridge{host.GetContext()};

      void SetUp() override
      {
        Kestrum::Logging::SetSink(&bridge);
      }

      void TearDown() override
      {
        Kestrum::Logging::ResetSink(&bridge);
        EXPECT_EQ(0u, FakeHost::LiveAllocations()) << "host memory not given back";
        EXPECT_EQ(0u, FakeHost::BadFrees()) << "free of a block that the host did not hand out (or freed twice)";
        FakeHost::ForgetAllocations();   // one leak fails one test, not every later one
      }
    };


    class PluginTest : public FakeHostTest
    {
    private:
      std::shared_ptr<QuelbyCloudPlugin> plugin_;

    protected:
      void SetUp() override
      {
        FakeHostTest::SetUp();
        ASSERT_EQ(0, KestrumPluginInitialize(host.GetContext()));
        plugin_ = GetRunningPlugin();
        ASSERT_NE(nullptr, plugin_);
      }

      void TearDown() override
      {
        KestrumPluginFinalize();
        plugin_.reset();   // the last reference: the plug-in and its threads are gone after this
        FakeHostTest::TearDown();
      }

      QuelbyCloudPlugin& Plugin() { return *plugin_; }

      /** What the host reports when it has started: the stored state is read, the synchronization thread starts. */
      void HostStarted() { host.NotifyChange(KestrumChangeType_KestrumStarted, 0, ""); }
    };
  }
}
