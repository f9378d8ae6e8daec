// SPDX-License-Identifier: Apache-2.0
#include "core/bridge/CPortEvents.h"

#include <string>
#include <vector>

#include "core/service/COmbraCtrlCore.h"
#include "core/service/CTaskLoop.h"
#include "tests/TestSupport.h"

using namespace testsupport;

namespace
{

// A port that records what the handlers do to it.
class CFakePort : public COmbraPortAx
{
public:
    long WriteData(const unsigned char* pData, long nLength) override
    {
        if (m_bRefuseWrites)
            return 0;
        m_strWritten.append(reinterpret_cast<const char*>(pData), static_cast<size_t>(nLength));
        return nLength;
    }
    void SetCTS(int bOn) override
    {
        ++m_nCtsCalls;
        COmbraPortAx::SetCTS(bOn);
    }
    void ResetPort() override { ++m_nResets; }

    std::string m_strWritten;
    int m_nCtsCalls = 0;
    int m_nResets = 0;
    bool m_bRefuseWrites = false;
};

constexpr int PORT = 2;  // COM3
constexpr int ID = COmbraPortAx::PORT_ID_BASE + PORT;

class PortEventsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_core.ResetSettings();
        m_core.m_comData.SetUse(PORT, 1);
        m_core.m_comData.SetEnable(PORT, 1);
        m_core.InitList();
        auto pPort = std::make_unique<CFakePort>();
        m_pPort = pPort.get();
        m_core.ReplacePort(PORT, std::move(pPort));
    }

    std::string Text(int nCol) { return m_core.m_rows.GetItemText(m_core.m_rows.FindRow(PORT), nCol); }

    void SetMode(int nMode)
    {
        m_core.m_comData.SetMode(PORT, nMode);
        m_core.m_rows.DeleteAll();
        m_core.InitList();
    }

    CTaskLoop m_loop;
    COmbraCtrlCore m_core{&m_loop};
    CFakePort* m_pPort = nullptr;
    CPortEvents& m_events = m_core.m_events;
};

}  // namespace

TEST_F(PortEventsTest, ThrottleStartsAtFourThousandNinetySix)
{
    m_core.Line(PORT).m_dwFlowCtrl = FLOW_CTS | FLOW_XIN;
    m_core.Line(PORT).m_chXoff = 0x13;
    m_events.OnDataQueued(ID, 4095);
    EXPECT_EQ(m_pPort->m_nCtsCalls, 0);
    EXPECT_EQ(m_pPort->m_strWritten, "");
    EXPECT_EQ(m_core.Line(PORT).m_bCtsRaised, 1);
    EXPECT_EQ(m_core.Line(PORT).m_bXonSent, 1);

    m_events.OnDataQueued(ID, 4096);
    EXPECT_EQ(m_pPort->m_nCtsCalls, 1);
    EXPECT_EQ(m_pPort->GetCTS(), 0);
    EXPECT_EQ(m_pPort->m_strWritten, "\x13");
    EXPECT_EQ(m_core.Line(PORT).m_bCtsRaised, 0);
    EXPECT_EQ(m_core.Line(PORT).m_bXonSent, 0);

    // Already held back: nothing is repeated.
    m_events.OnDataQueued(ID, 9000);
    EXPECT_EQ(m_pPort->m_nCtsCalls, 1);
    EXPECT_EQ(m_pPort->m_strWritten, "\x13");
}

TEST_F(PortEventsTest, NoThrottleWithoutFlowBitsAndXoffRetriedWhenRefused)
{
    m_core.Line(PORT).m_dwFlowCtrl = FLOW_RTS | FLOW_DTR | FLOW_XOUT;
    m_events.OnDataQueued(ID, 100000);
    EXPECT_EQ(m_pPort->m_nCtsCalls, 0);
    EXPECT_EQ(m_pPort->m_strWritten, "");

    m_core.Line(PORT).m_dwFlowCtrl = FLOW_XIN;
    m_core.Line(PORT).m_chXoff = 'S';
    m_pPort->m_bRefuseWrites = true;
    m_events.OnDataQueued(ID, 5000);
    EXPECT_EQ(m_core.Line(PORT).m_bXonSent, 1) << "an XOFF that was not taken is not counted as sent";
    m_pPort->m_bRefuseWrites = false;
    m_events.OnDataQueued(ID, 5000);
    EXPECT_EQ(m_pPort->m_strWritten, "S");
    EXPECT_EQ(m_core.Line(PORT).m_bXonSent, 0);
}

TEST_F(PortEventsTest, FlowBitsFromHandFlowAndCommState)
{
    struct SRow
    {
        long nHandShake;
        long nReplace;
        uint32_t dwExpected;
    };
    const SRow rows[] = {
        {0x00, 0x00, 0},
        {0x01, 0x00, FLOW_DTR},
        {0x02, 0x00, FLOW_DTR},
        {0x08, 0x00, FLOW_CTS},
        {0x00, 0x01, FLOW_XOUT},
        {0x00, 0x02, FLOW_XIN},
        {0x00, 0x40, FLOW_RTS},
        {0x00, 0x80, FLOW_RTS},
        {0x00, 0xC0, FLOW_RTS},  // RTS toggle as flow-replace bits
        {0x09, 0x43, FLOW_DTR | FLOW_CTS | FLOW_XOUT | FLOW_XIN | FLOW_RTS},
    };
    for (const SRow& row : rows)
    {
        m_core.Line(PORT).m_dwFlowCtrl = 0xFFFF;  // cleared first
        m_events.OnHandFlowChanged(ID, row.nHandShake, row.nReplace, 0, 0);
        EXPECT_EQ(m_core.Line(PORT).m_dwFlowCtrl, row.dwExpected) << row.nHandShake << "/" << row.nReplace;
    }

    CPortDcb dcb;
    dcb.fDtrControl = 0;
    dcb.fRtsControl = 3;  // toggle as a DCB value
    m_events.OnCommStateChanged(ID, dcb);
    EXPECT_EQ(m_core.Line(PORT).m_dwFlowCtrl, 0u);
    dcb.fDtrControl = 2;
    dcb.fRtsControl = 2;
    dcb.fOutxCtsFlow = 1;
    dcb.fOutX = 1;
    dcb.fInX = 1;
    dcb.XonChar = 'Q';
    dcb.XoffChar = 'S';
    m_events.OnCommStateChanged(ID, dcb);
    EXPECT_EQ(m_core.Line(PORT).m_dwFlowCtrl, FLOW_DTR | FLOW_CTS | FLOW_XOUT | FLOW_XIN | FLOW_RTS);
    EXPECT_EQ(m_core.Line(PORT).m_chXon, 'Q');
    EXPECT_EQ(m_core.Line(PORT).m_chXoff, 'S');

    m_events.OnSpecialCharsChanged(ID, 1, 2, 3, 4, 0x111, 0x213);
    EXPECT_EQ(m_core.Line(PORT).m_chXon, 0x11) << "the low byte";
    EXPECT_EQ(m_core.Line(PORT).m_chXoff, 0x13);
}

TEST_F(PortEventsTest, SettingsColumns)
{
    CPortDcb dcb;
    dcb.BaudRate = 115200;
    dcb.ByteSize = 7;
    dcb.Parity = 2;
    dcb.StopBits = 1;
    m_events.OnCommStateChanged(ID, dcb);
    EXPECT_EQ(Text(COL_BAUDRATE), "115200");
    EXPECT_EQ(Text(COL_DATA), "7");
    EXPECT_EQ(Text(COL_PARITY), "Even");
    EXPECT_EQ(Text(COL_STOP), "1.5");

    m_events.OnLineControlChanged(ID, 2, 3, 5);
    EXPECT_EQ(Text(COL_STOP), "2");
    EXPECT_EQ(Text(COL_PARITY), "Mark");
    EXPECT_EQ(Text(COL_DATA), "5");
    m_events.OnLineControlChanged(ID, 0, 4, 8);
    EXPECT_EQ(Text(COL_PARITY), "Space");
    EXPECT_EQ(Text(COL_STOP), "1");
    m_events.OnBaudRateChanged(ID, 300);
    EXPECT_EQ(Text(COL_BAUDRATE), "300");

    // Events for ids that are none of ours change nothing.
    m_events.OnBaudRateChanged(COmbraPortAx::PORT_ID_BASE - 1, 1);
    m_events.OnBaudRateChanged(COmbraPortAx::PORT_ID_BASE + 256, 1);
    EXPECT_EQ(Text(COL_BAUDRATE), "300");
}

TEST_F(PortEventsTest, ServerPortOpenAndCloseLeaveTheWorkerAlone)
{
    SetMode(MODE_TCP_SERVER);
    m_core.GetWorker(PORT).SetStateForTest(EWorkerState::Accept);
    m_core.ChangePort(PORT, [](CPortView& view) { view.connection = EConnectionState::Connected; });
    m_events.OnOpenChanged(ID, 1);
    EXPECT_EQ(m_core.m_comData.GetOpen(PORT), 1);
    EXPECT_EQ(m_core.GetWorker(PORT).GetState(), EWorkerState::Accept);
    EXPECT_EQ(Text(COL_CONNECTION), "Connected");

    m_events.OnBaudRateChanged(ID, 9600);
    m_core.Line(PORT).m_bXonState = 0;
    m_core.Line(PORT).m_chXon = 'a';
    m_core.Line(PORT).m_dwFlowCtrl = FLOW_XOUT;
    m_events.OnOpenChanged(ID, 0);
    EXPECT_EQ(m_core.m_comData.GetOpen(PORT), 0);
    EXPECT_EQ(m_core.GetWorker(PORT).GetState(), EWorkerState::Accept);
    EXPECT_EQ(Text(COL_CONNECTION), "Connected");
    EXPECT_EQ(Text(COL_BAUDRATE), "--------");
    EXPECT_EQ(Text(COL_DATA), "-----");
    EXPECT_EQ(Text(COL_PARITY), "-----");
    EXPECT_EQ(Text(COL_STOP), "-----");
    EXPECT_EQ(m_core.Line(PORT).m_bXonState, 1);
    EXPECT_EQ(m_core.Line(PORT).m_chXon, 17);
    EXPECT_EQ(m_core.Line(PORT).m_dwFlowCtrl, FLOW_XOUT) << "flow bits stay until the next application";
    EXPECT_EQ(m_pPort->m_nResets, 1);
    m_core.GetWorker(PORT).SetStateForTest(EWorkerState::Idle);
}

TEST_F(PortEventsTest, ClientOpenConnectsAndClosingIdleClientStillWritesNotConnect)
{
    m_core.ChangePort(PORT, [](CPortView& view) { view.connection = EConnectionState::ConnectError; });
    m_events.OnOpenChanged(ID, 0);
    EXPECT_EQ(Text(COL_CONNECTION), "Not Connect");

    // No thread runs: the worker only takes its state.
    m_events.OnOpenChanged(ID, 1);
    EXPECT_EQ(Text(COL_CONNECTION), "Connecting");
    EXPECT_EQ(m_core.GetWorker(PORT).GetState(), EWorkerState::Connect);
    // A close while no thread runs must not wait forever.
    m_events.OnOpenChanged(ID, 0);
    EXPECT_EQ(Text(COL_CONNECTION), "Not Connect");
    m_core.GetWorker(PORT).SetStateForTest(EWorkerState::Idle);

    SetMode(MODE_UDP);
    m_events.OnOpenChanged(ID, 1);
    EXPECT_EQ(m_core.GetWorker(PORT).GetState(), EWorkerState::UdpBind);
    EXPECT_EQ(Text(COL_CONNECTION), "Not Connect") << "UDP shows its own status";
    m_core.GetWorker(PORT).SetStateForTest(EWorkerState::Idle);
}

// Only an application that can be held back makes the port report what
// waits in it.
TEST_F(PortEventsTest, QueuedReportsFollowTheFlowBits)
{
    CPortDcb dcb;
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    m_events.OnCommStateChanged(ID, dcb);
    EXPECT_EQ(m_pPort->GetQueuedReports(), 0);
    dcb.fInX = 1;
    m_events.OnCommStateChanged(ID, dcb);
    EXPECT_EQ(m_pPort->GetQueuedReports(), 1);
    dcb.fInX = 0;
    dcb.fOutxCtsFlow = 1;
    m_events.OnCommStateChanged(ID, dcb);
    EXPECT_EQ(m_pPort->GetQueuedReports(), 1);
    // XON/XOFF from the application (towards the bridge) holds nothing back.
    m_events.OnHandFlowChanged(ID, 0, 0x01, 0, 0);
    EXPECT_EQ(m_pPort->GetQueuedReports(), 0);
    m_events.OnHandFlowChanged(ID, 0x08, 0, 0, 0);
    EXPECT_EQ(m_pPort->GetQueuedReports(), 1);
}

TEST_F(PortEventsTest, ModemLineEvents)
{
    m_events.OnDtrChanged(ID, 0);
    m_events.OnRtsChanged(ID, 0);
    EXPECT_EQ(m_core.Line(PORT).m_bDtrLine, 0);
    EXPECT_EQ(m_core.Line(PORT).m_bRtsLine, 0);
    m_events.OnDtrChanged(ID, 1);
    m_events.OnRtsChanged(ID, 1);
    EXPECT_EQ(m_core.Line(PORT).m_bDtrLine, 1);
    EXPECT_EQ(m_core.Line(PORT).m_bRtsLine, 1);
}
