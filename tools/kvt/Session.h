#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "kvt/KVTBasic.h"

// A run of the library inside kvt: started with a callback, messages kept
// for the steps that wait on them, stopped when the session ends.

struct Delivered {
    int type = KVT_MSG_UNSPECIFIED;
    std::string deviceId;
    std::string additionalInfo;
    std::vector<unsigned char> image;
    int lfdLevel = 0;
    std::string lfdData;
    std::string properties;
};

const char* MessageName(int type);
const char* ConnectionName(int connection);
const char* DeviceTypeName(int type);

class Inbox {
public:
    static void KVT_CALLBACK Callback(KVT_Message* message, void* user);

    // The first waiting message of the type for deviceId (any sensor when
    // empty); false when none came within the wait.
    bool Take(int type, const std::string& deviceId, Delivered& out,
              std::chrono::milliseconds wait = std::chrono::seconds(30));
    // The first waiting message of any of the types for deviceId.
    bool TakeAny(const std::vector<int>& types, const std::string& deviceId, Delivered& out,
                 std::chrono::milliseconds wait);
    // The oldest message of any type, the silence message included.
    bool Next(Delivered& out, std::chrono::milliseconds wait);

private:
    void Add(const KVT_Message& message);

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Delivered> m_messages;
};

class Session {
public:
    Session() = default;
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    int Start();
    int Stop();
    Inbox& Messages() { return m_inbox; }

    // Sensors join on threads of the library after the start: waits until
    // the list has not changed for a moment.
    void WaitForSensors();
    int Devices(std::vector<KVT_DeviceInfo>& devices) const;
    // A sensor by device id, serial number or position in the list; the
    // first one when which is empty. False with a message when none fits.
    bool FindDevice(const std::string& which, KVT_DeviceInfo& device, std::string& error) const;

    // Plugs in a simulated USB sensor ("u1" or "u2") and waits until the
    // library has announced it.
    bool AttachSimulated(const std::string& model, int& simId, KVT_DeviceInfo& device,
                         std::string& error);
    // Plugs in a simulated sensor with plug (a KVTSim_ call that yields a
    // sim id) and waits for its announcement.
    bool Attach(const std::function<int(int*)>& plug, int& simId, KVT_DeviceInfo& device,
                std::string& error);

private:
    Inbox m_inbox;
    bool m_running = false;
};

struct Captured {
    std::vector<uint8_t> image;  // the BMP file
    int lfdLevel = 0;
    std::string lfdData;
    std::string properties;
};

// A synchronous capture with a buffer that fits any picture size.
int CaptureSync(const std::string& deviceId, Captured& captured);

// The data folder the library uses, by the library's own rule.
std::string DataFolder();

// Ctrl-C (and SIGTERM) set a flag instead of ending the process, so that
// the library can be stopped cleanly. Restores the default handlers when it ends.
class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
    static bool Interrupted();
};
