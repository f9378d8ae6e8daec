// SPDX-License-Identifier: Apache-2.0
// The refusal of Stop and Exit: its fixed first line and the ports it names.

#include "core/model/PortsInUse.h"

#include <gtest/gtest.h>

#include <numeric>
#include <ostream>

namespace
{

const std::string FIRST_LINE = "Virtual Serial Port is still used by other application.";

std::vector<int> Range(int nFirst, int nCount)
{
    std::vector<int> vec(static_cast<size_t>(nCount));
    std::iota(vec.begin(), vec.end(), nFirst);
    return vec;
}

struct SCase
{
    const char* pszName;
    std::vector<int> vecPorts;
    std::string strSecondLine;  // empty: none
};

// The test lists show a case by its name.
void PrintTo(const SCase& c, std::ostream* pOut)
{
    *pOut << c.pszName;
}

class PortsInUseTest : public ::testing::TestWithParam<SCase>
{
};

TEST_P(PortsInUseTest, NamesThePortsOnTheSecondLine)
{
    const SCase& c = GetParam();
    const std::string strExpected = c.strSecondLine.empty() ? FIRST_LINE : FIRST_LINE + "\n" + c.strSecondLine;
    EXPECT_EQ(PortsInUseMessage(c.vecPorts), strExpected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PortsInUseTest,
    ::testing::Values(SCase{"none", {}, ""}, SCase{"one", {1}, "Open: COM2"},
                      SCase{"two", {1, 4}, "Open: COM2, COM5"},
                      SCase{"all_listed", Range(0, 8), "Open: COM1, COM2, COM3, COM4, COM5, COM6, COM7, COM8"},
                      SCase{"one_more", Range(10, 9),
                            "Open: COM11, COM12, COM13, COM14, COM15, COM16, COM17, COM18 and 1 more"},
                      SCase{"every_port", Range(0, 256),
                            "Open: COM1, COM2, COM3, COM4, COM5, COM6, COM7, COM8 and 248 more"},
                      SCase{"last_port", {255}, "Open: COM256"}),
    [](const ::testing::TestParamInfo<SCase>& param) { return std::string(param.param.pszName); });

}  // namespace
