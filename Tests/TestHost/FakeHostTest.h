/**
 * GoogleTest fixture over the process-wide FakeHost: the host is bound to the
 * plug-in once per process, reset before each test, and after each test no
 * host block may be left alive or freed twice.
 *
 *   class HostRestApiTest : public QuelbyCloud::Testing::FakeHostTest {};
 *   TEST_F(HostRestApiTest, ...) { host.OnRestGet("/x").Answer("{}"); ... }
 */
#pragma once

#include "FakeHost.h"

#include <gtest/gtest.h>

namespace QuelbyCloud
{
  namespace Testing
  {
    class FakeHostTest : public ::testing::Test
    {
    protected:
      FakeHost& host;

      FakeHostTest() : host(FakeHost::Shared())
      {
      }

      void SetUp() override
      {
        host.Reset();
      }

      void TearDown() override
      {
        EXPECT_EQ(0u, FakeHost::LiveAllocations()) << "host memory not given back";
        EXPECT_EQ(0u, FakeHost::BadFrees()) << "free of a block that the host did not hand out (or freed twice)";
        FakeHost::ForgetAllocations();   // one leak fails one test, not every later one
      }
    };
  }
}
