#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "integration/LibraryFixture.h"
#include "kvt/KVTSimulator.h"

namespace kvt_test {

// One delivered message, copied out of the library's slot.
struct Delivered {
    int type;
    std::string deviceId;
    std::string additionalInfo;
    std::vector<unsigned char> image;
    int LFDLevel;
    std::string properties;
};

// Collects the messages that reach the callback.
class MessageLog {
public:
    static void KVT_CALLBACK Callback(KVT_Message* message, void* user) {
        static_cast<MessageLog*>(user)->Add(*message);
    }

    // Waits until a message of the type has arrived for the device; false after 30 s.
    bool WaitFor(int type, const std::string& deviceId = {}) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(30),
                                  [&] { return Find(type, deviceId) != nullptr; });
    }
    std::vector<Delivered> All() {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }
    int Count(int type) {
        std::lock_guard lock(m_mutex);
        int count = 0;
        for (const auto& m : m_messages) count += m.type == type;
        return count;
    }
    Delivered Last(int type) {
        std::lock_guard lock(m_mutex);
        for (auto m = m_messages.rbegin(); m != m_messages.rend(); ++m)
            if (m->type == type) return *m;
        return {};
    }

private:
    void Add(const KVT_Message& message) {
        if (message.type == KVT_MSG_UNSPECIFIED) return;
        Delivered delivered{message.type,
                            message.deviceId,
                            message.additionalInfo,
                            {},
                            message.capturedData.LFDLevel,
                            message.capturedData.properties};
        if (message.capturedData.image != nullptr)
            delivered.image.assign(message.capturedData.image,
                                   message.capturedData.image + message.capturedData.imageSize);
        std::lock_guard lock(m_mutex);
        m_messages.push_back(std::move(delivered));
        m_changed.notify_all();
    }
    const Delivered* Find(int type, const std::string& deviceId) const {
        for (const auto& m : m_messages)
            if (m.type == type && (deviceId.empty() || m.deviceId == deviceId)) return &m;
        return nullptr;
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Delivered> m_messages;
};

// The running library with simulated USB sensors plugged in through the
// simulator interface.
class SimulatedSensorTest : public LibraryTest {
protected:
    void Start() { ASSERT_EQ(KVT_Start(&MessageLog::Callback, &messages_), KVT_RESULT_OK); }

    // Plugs a sensor in and returns the library's id for it.
    std::string Plug(int model = KVTSIM_MODEL_U2, int* simId = nullptr) {
        // Counted first: the announcement may arrive before the attach returns.
        const int before = messages_.Count(KVT_MSG_NEW_DEVICE);
        int id = 0;
        EXPECT_EQ(KVTSim_AttachUsbSensor(model, nullptr, &id), KVTSIM_OK);
        if (simId != nullptr) *simId = id;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (messages_.Count(KVT_MSG_NEW_DEVICE) == before &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return messages_.Last(KVT_MSG_NEW_DEVICE).deviceId;
    }

    // A synchronous capture into a buffer of the given capacity.
    int Capture(const std::string& id, std::vector<unsigned char>& image, KVT_CapturedData& data,
                unsigned int capacity = 139190) {
        image.assign(capacity, 0);
        std::memset(&data, 0, sizeof data);
        data.size = sizeof data;
        data.image = image.data();
        data.imageSize = capacity;
        const int result = KVT_CaptureImage(id.c_str(), 0, &data);
        if (result == KVT_RESULT_OK) image.resize(data.imageSize);
        return result;
    }

    MessageLog messages_;
};

inline int32_t ReadInt32(const std::vector<unsigned char>& bytes, size_t offset) {
    return static_cast<int32_t>(bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
                                static_cast<uint32_t>(bytes[offset + 3]) << 24);
}

}  // namespace kvt_test
