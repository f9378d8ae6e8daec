// SPDX-License-Identifier: Apache-2.0
#include "core/bridge/CPort.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "tests/TestSupport.h"
#include "tests/core/engine/CTestPortOwner.h"

namespace
{

class PortUnitTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string strError;
        ASSERT_EQ(m_core.Init(m_dir.Path(), &strError), 1) << strError;
    }

    bool Listed(const std::string& strName)
    {
        struct stat st;
        return lstat(m_dir.File(strName).c_str(), &st) == 0;
    }

    testsupport::CTempDir m_dir;
    CTaskLoop m_loop;
    CTestPortOwner m_core{&m_loop};
};

}  // namespace

TEST_F(PortUnitTest, OpenAndCloseTakeTheVirtualPortAndTheWorkerTogether)
{
    CPort& port = m_core.m_ports[2];
    EXPECT_EQ(port.Name(), "COM3");
    ASSERT_TRUE(port.Open(false));
    EXPECT_TRUE(Listed("COM3"));
    EXPECT_TRUE(port.NameTaken());
    EXPECT_EQ(port.Worker().IsThreadRunning(), 1);

    EXPECT_EQ(port.Close(true), 1);
    EXPECT_FALSE(Listed("COM3"));
    EXPECT_FALSE(port.NameTaken());
    EXPECT_EQ(port.Worker().IsThreadRunning(), 0);
    EXPECT_EQ(port.VirtualPort().IsCreated(), 0);

    // Open again after a close, and the end of the program over an open port.
    ASSERT_TRUE(port.Open(false));
    port.Shut();
    EXPECT_FALSE(Listed("COM3"));
    EXPECT_EQ(port.Worker().IsThreadRunning(), 0);
    port.Shut();
}

// A port whose worker cannot run must not be offered: an application's
// close would wait for that worker forever.
TEST_F(PortUnitTest, APortWhoseWorkerCannotStartIsNotLeftBehind)
{
    CPort& port = m_core.m_ports[CTestPortOwner::TEST_PORTS + 3];  // never bound to an owner
    EXPECT_FALSE(port.Open(false));
    EXPECT_FALSE(Listed(port.Name()));
    EXPECT_EQ(port.VirtualPort().IsCreated(), 0);
    EXPECT_EQ(port.Worker().IsThreadRunning(), 0);
}
