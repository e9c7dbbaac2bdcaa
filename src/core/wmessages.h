#pragma once
// Every private message number of the client (WM_USER = 1024). Only 1135, 1280,
// 1136 and 1137 cross process borders, as "<number> <wParam> <lParam>" lines on
// the per-user instance socket; inside the process they are signals and slots.
namespace wm {
constexpr int User = 1024;
constexpr int DpiAwareness = 1129;       // office windows closing -> main window
constexpr int TrayIcon = 1135;           // tray callback; a second launch sends lParam 513
constexpr int Exit = 1136;               // from other programs
constexpr int RemoveTrayIcon = 1137;     // from other programs
constexpr int ReloadOrg = 1139;          // main window -> file manager
constexpr int OpenWorkWindows = 1144;
constexpr int CheckoutEnd = 1164;
constexpr int CompareLine = 1165;
constexpr int RunWebDispatcher = 1174;
constexpr int BatchFileFailed = 1236;
constexpr int BatchRunEnded = 1238;
constexpr int RobotStartAll = 1240;
constexpr int BulkDownloadRefused = 1247;
constexpr int BringToFront = 1280;
constexpr int SuppressReminders = 1281;
constexpr int OfficeResize = 1282;
constexpr int QrAvailability = 1525;
constexpr int QrLogin = 1526;

constexpr int LeftButtonDown = 513;      // lParam of TrayIcon from a second launch
} // namespace wm
