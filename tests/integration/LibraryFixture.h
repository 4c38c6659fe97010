#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "kvt/KVTBasic.h"
#include "kvt/KVTSimulator.h"
#include "support/DefaultConfig.h"
#include "support/TempDir.h"
#include "support/Wait.h"

namespace kvt_test {

inline std::filesystem::path ConfigPath() {
    return DataDir() / "KVTDeviceManager.ini";
}
inline std::filesystem::path LogPath() {
    return DataDir() / "Logfiles" / "KVTDeviceManager.log";
}
inline std::string LogText() {
    return ReadFile(LogPath());
}

// A configuration that logs everything, so tests can read the trace.
inline void WriteVerboseConfig() {
    WriteFile(ConfigPath(), ManagerSettings(0));
}

inline void KVT_CALLBACK IgnoreMessage(KVT_Message*, void*) {}

// A public record with its size field filled in, the rest zero.
template <class Record>
Record Sized() {
    Record record{};
    record.size = sizeof record;
    return record;
}

// A picture for the exports, over bytes the caller keeps.
inline KVT_CapturedData Picture(std::vector<unsigned char>& bytes) {
    auto data = Sized<KVT_CapturedData>();
    data.image = bytes.data();
    data.imageSize = static_cast<unsigned int>(bytes.size());
    return data;
}

// Cancels a capture: the result and the number of the sensor's clients.
inline std::pair<int, int> Cancel(const char* id) {
    int available = 7;
    return {KVT_CancelAsyncCapture(id, &available), available};
}

// Stops the library whatever a test left behind.
class LibraryTest : public testing::Test {
protected:
    void TearDown() override {
        if (KVT_IsRunning() == 0) KVT_Stop();
    }
    // One run of the library on the configuration in place.
    static void StartAndStop() {
        ASSERT_EQ(KVT_Start(IgnoreMessage, nullptr), KVT_RESULT_OK);
        ASSERT_EQ(KVT_Stop(), KVT_RESULT_OK);
    }
};

// What a sensor's record says of it, for comparison at once.
inline auto Described(const KVT_DeviceInfo& d) {
    return std::tuple(d.connectionType, d.deviceType, std::string(d.description),
                      std::string(d.serialNumber), std::string(d.firmwareVersion));
}

// One delivered message, copied out of the library's slot.
struct Delivered {
    int type;
    std::string deviceId;
    std::string additionalInfo;
    std::vector<unsigned char> image;
    int LFDLevel;
    std::string properties;
    const KVT_Message* slot;
    std::thread::id thread;
};

using Counts = std::vector<int>;

// Collects the messages that reach the callback.
class MessageLog {
public:
    static void KVT_CALLBACK Callback(KVT_Message* message, void* user) {
        auto* self = static_cast<MessageLog*>(user);
        if (self->beforeFirst && !self->m_started.exchange(true)) self->beforeFirst();
        self->Add(*message);
    }

    // Runs on the callback's thread before the first message is taken, to
    // stand for an application whose callback blocks.
    std::function<void()> beforeFirst;

    // Waits until `count` messages of the type have arrived, for the device
    // when one is named; false after the limit.
    bool WaitFor(int type, const std::string& deviceId = {}, int count = 1,
                 std::chrono::seconds limit = std::chrono::seconds(30)) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, limit,
                                  [&] { return CountLocked(type, deviceId) >= count; });
    }
    int Count(int type) { return Count({type})[0]; }
    // How many of each type arrived, in the order asked.
    Counts Count(std::initializer_list<int> types) {
        std::lock_guard lock(m_mutex);
        Counts counts;
        for (int type : types) counts.push_back(CountLocked(type, {}));
        return counts;
    }
    std::vector<Delivered> All() {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }
    // The types delivered since the last call, in order.
    std::vector<int> TakeTypes() {
        std::lock_guard lock(m_mutex);
        std::vector<int> types;
        for (const auto& m : m_messages) types.push_back(m.type);
        m_messages.clear();
        return types;
    }
    Delivered Last(int type) {
        std::lock_guard lock(m_mutex);
        for (auto m = m_messages.rbegin(); m != m_messages.rend(); ++m)
            if (m->type == type) return *m;
        return {};
    }

private:
    void Add(const KVT_Message& message) {
        const KVT_CapturedData& data = message.capturedData;
        Delivered delivered{
            message.type,    message.deviceId, message.additionalInfo,    {}, data.LFDLevel,
            data.properties, &message,         std::this_thread::get_id()};
        if (data.image != nullptr) delivered.image.assign(data.image, data.image + data.imageSize);
        std::lock_guard lock(m_mutex);
        m_messages.push_back(std::move(delivered));
        m_changed.notify_all();
    }
    int CountLocked(int type, const std::string& deviceId) const {
        int count = 0;
        for (const auto& m : m_messages)
            count += m.type == type && (deviceId.empty() || m.deviceId == deviceId);
        return count;
    }

    std::atomic<bool> m_started{false};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Delivered> m_messages;
};

// The running library with simulated USB sensors plugged in through the
// simulator interface.
class SimulatedSensorTest : public LibraryTest {
protected:
    // The simulated sensors are the process's: later tests must not meet them.
    void TearDown() override {
        LibraryTest::TearDown();
        for (int simId : simIds_) KVTSim_Detach(simId);
    }

    void Start() { ASSERT_EQ(KVT_Start(&MessageLog::Callback, &messages_), KVT_RESULT_OK); }

    // Adds a sensor through the simulator's call `attach`, which sets its
    // simulator id, and returns the library's id for it (empty when it was
    // not announced).
    std::string Announced(const std::function<int(int*)>& attach, int* simId) {
        // Counted first: the announcement may arrive before the attach returns.
        const int before = messages_.Count(KVT_MSG_NEW_DEVICE);
        int id = 0;
        EXPECT_EQ(attach(&id), KVTSIM_OK);
        simIds_.push_back(id);
        if (simId != nullptr) *simId = id;
        if (!messages_.WaitFor(KVT_MSG_NEW_DEVICE, {}, before + 1)) return {};
        return messages_.Last(KVT_MSG_NEW_DEVICE).deviceId;
    }
    // Plugs a USB sensor in.
    std::string Plug(int model = KVTSIM_MODEL_U2, int* simId = nullptr) {
        return Announced([&](int* id) { return KVTSim_AttachUsbSensor(model, nullptr, id); },
                         simId);
    }

    // The running library with one sensor plugged in.
    void StartWithSensor(int model = KVTSIM_MODEL_U2) {
        Start();
        id_ = Plug(model, &simId_);
        ASSERT_FALSE(id_.empty());
    }

    // A synchronous capture into a buffer of the given capacity.
    static int Capture(const std::string& id, std::vector<unsigned char>& image,
                       KVT_CapturedData& data, unsigned int capacity = 139190) {
        image.assign(capacity, 0);
        data = Picture(image);
        const int result = KVT_CaptureImage(id.c_str(), 0, &data);
        if (result == KVT_RESULT_OK) image.resize(data.imageSize);
        return result;
    }
    // The same from the fixture's sensor into image_ and data_.
    int Capture(unsigned int capacity = 139190) { return Capture(id_, image_, data_, capacity); }

    MessageLog messages_;
    std::string id_;
    int simId_ = 0;
    std::vector<unsigned char> image_;
    KVT_CapturedData data_{};
    // Detached at the end of the test; detaching one twice is harmless.
    std::vector<int> simIds_;
};

inline int32_t ReadInt32(const std::vector<unsigned char>& bytes, size_t offset) {
    return static_cast<int32_t>(bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
                                static_cast<uint32_t>(bytes[offset + 3]) << 24);
}

}  // namespace kvt_test
