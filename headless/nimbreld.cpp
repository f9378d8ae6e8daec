// SPDX-License-Identifier: Apache-2.0
#include "headless/CHeadlessApp.h"

int main(int argc, char** argv)
{
    return CHeadlessApp().Run(argc, argv);
}
