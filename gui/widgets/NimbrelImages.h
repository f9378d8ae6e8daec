// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QIcon>
#include <QPixmap>

// The program's pictures, by their resource ids.
constexpr int IDR_MAINFRAME = 128;  // the program's icon
constexpr int IDI_LAMP_OK = 133;    // blue round lamp with a tick: success texts
constexpr int IDI_LAMP_ERROR = 134; // red diamond with a cross: error texts
constexpr int IDI_LAMP_IDLE = 135;  // grey ring: any other state
constexpr int IDI_CHECK_ON = 138;   // box with a tick: port enabled
constexpr int IDI_CHECK_OFF = 139;  // empty box: port not enabled
constexpr int IDB_LOGO = 140;       // the main window's bitmap

// Picture nId drawn at nWidth x nHeight device-independent pixels; rendered
// once per size and kept, so a repaint of many rows costs nothing extra.
// A null pixmap for an unknown id.
QPixmap NimbrelPixmap(int nId, int nWidth, int nHeight);
QIcon NimbrelIcon(int nId);
