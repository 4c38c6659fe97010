#pragma once

#include <string>

namespace kvt_test {

// The unnamed section of KVTDeviceManager.ini with the given log settings.
inline std::string ManagerSettings(int logLevel,
                                   const std::string& logFile = ".\\Logfiles\\KVTDeviceManager.log",
                                   int logFileSize = 1000000, int u2AsyncSleepTime = 500) {
    return "Port=82\nLogFileName=" + logFile + "\nLogFileSize=" + std::to_string(logFileSize) +
           "\nLogLevel=" + std::to_string(logLevel) +
           "\nU2AsyncSleepTime=" + std::to_string(u2AsyncSleepTime) +
           "\nTemperatureCompensation=0\n";
}

// KVTDeviceManager.ini as the library writes it when it had none, byte for byte.
inline constexpr char kDefaultDeviceManagerIni[] =
    "\n; Port the Device Manager listens on\r\n"
    "; Has to match with corresponding entry in KVTCoreService.ini\n"
    "Port=82\n"
    "\n; (relative or absolute)\n"
    "LogFileName=.\\Logfiles\\KVTDeviceManager.log\n"
    "\n; maximum size in bytes\n"
    "LogFileSize=1000000\n"
    "\n; 0 = DEBUG, 1 = INFO, 2 = WARNING, 3 = ERROR\n"
    "LogLevel=2\n"
    "\n; Sleep time [ms] for U2 async image capturing\n"
    "U2AsyncSleepTime=500\n"
    "\n; Temperature compensation for LFD, on (1) or off(0), default is off\n"
    "TemperatureCompensation=0\n"
    "\n; Device listener settings for ethernet sensors\n"
    "[DeviceListener_1]\n"
    "\n; Address the ethernet devices connect to\r\n"
    "; (0.0.0.0 for all available or specific address, e.g. 192.168.1.1)\n"
    "IP-Address=0.0.0.0\n"
    "\n; Port the ethernet devices connect to\n"
    "Port=43981\n";

}  // namespace kvt_test
