#pragma once

// Numbers of the owner-thread messages. The Qt and headless front ends run
// the handlers as dispatcher tasks; the numbers name them and keep traces
// readable.
constexpr int WM_USER = 0x0400;

constexpr int WM_TEST_NOTIFY = WM_USER + 1;      // 1025: connection test progress
constexpr int WM_TRAY_NOTIFY = WM_USER + 100;    // 1124: tray icon activity
constexpr int WM_INIT_LIST = WM_USER + 101;      // 1125: build the port list
constexpr int WM_STATUS_NOTIFY = WM_USER + 102;  // 1126: drain the status queue
constexpr int WM_SEQUENCE_DONE = WM_USER + 103;  // 1127: Start/Stop sequence finished
constexpr int WM_CREATE_PORT = WM_USER + 104;    // 1128: create a row's virtual port
constexpr int WM_DELETE_PORT = WM_USER + 105;    // 1129: delete a port's virtual port
constexpr int WM_CHECK_PORT = WM_USER + 106;     // 1130: does a row's port exist
