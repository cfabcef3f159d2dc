#pragma once

#include <QObject>
#include <memory>

namespace guitest {

std::unique_ptr<QObject> MakeSettingsSuite();
std::unique_ptr<QObject> MakeRunnerSuite();
std::unique_ptr<QObject> MakeMainWindowSuite();
std::unique_ptr<QObject> MakeUsbSuite();
std::unique_ptr<QObject> MakeUsbVanishSuite();
std::unique_ptr<QObject> MakeStartSuite();
std::unique_ptr<QObject> MakeDeviceSuite();
std::unique_ptr<QObject> MakeViewSuite();
std::unique_ptr<QObject> MakeSetupSuite();
std::unique_ptr<QObject> MakeE2eSuite();
std::unique_ptr<QObject> MakeKeyboardSuite();
std::unique_ptr<QObject> MakeBusySuite();

inline std::unique_ptr<QObject> MakeSuite(const char* name) {
    const QByteArray n(name);
    if (n == "Settings") return MakeSettingsSuite();
    if (n == "Runner") return MakeRunnerSuite();
    if (n == "MainWindow") return MakeMainWindowSuite();
    if (n == "Usb") return MakeUsbSuite();
    if (n == "UsbVanish") return MakeUsbVanishSuite();
    if (n == "Start") return MakeStartSuite();
    if (n == "Device") return MakeDeviceSuite();
    if (n == "View") return MakeViewSuite();
    if (n == "Setup") return MakeSetupSuite();
    if (n == "E2e") return MakeE2eSuite();
    if (n == "Keyboard") return MakeKeyboardSuite();
    if (n == "Busy") return MakeBusySuite();
    return nullptr;
}

}  // namespace guitest
