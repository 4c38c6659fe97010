#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/UsbDriver.h"
#include "sim/usb/RawHost.h"
#include "support/LoggedTest.h"
#include "usb/USBDeviceU1.h"
#include "usb/USBDeviceU2.h"

namespace kvt_test {

using Bytes = std::vector<uint8_t>;
// A register write as {address, value}.
using RegisterWrite = std::pair<uint8_t, uint8_t>;
using simtest::Header;

// A sensor played from a script: reads take bytes from one stream of queued
// answers, every transfer is recorded, and chosen calls fail or come up one
// byte short. Shared by the test and the handle, so it outlives a handle
// that the model closes.
class UsbScript {
public:
    struct Call {
        bool write;
        Bytes bytes;      // what a write sent
        uint32_t length;  // what a read asked for
        std::chrono::steady_clock::time_point when;
    };
    // Runs after every write with its bytes; may queue the answer.
    using Responder = std::function<void(UsbScript&, const Bytes&)>;

    void Queue(const Bytes& bytes) {
        std::lock_guard lock(m_mutex);
        m_stream.insert(m_stream.end(), bytes.begin(), bytes.end());
    }
    void QueueAnswer(uint8_t cmdId, const Bytes& body) {
        Queue(Header(static_cast<uint32_t>(body.size()), cmdId));
        Queue(body);
    }
    // The state answer a write expects, with one type-0 record.
    void QueueStateAnswer(const Bytes& body = {4, 0, 0, 0}) { QueueAnswer(0x00, body); }
    // An illumination-board register read: the address command, then the value.
    void QueueIlluRegister(uint8_t value) {
        QueueStateAnswer();
        QueueAnswer(0x02, {value});
    }
    // An illumination-board register write: address command, parameter write.
    void QueueIlluWrite() {
        QueueStateAnswer();
        QueueStateAnswer();
    }

    std::vector<Call> Calls() const {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }
    std::vector<Bytes> Writes() const {
        std::vector<Bytes> writes;
        for (const Call& call : Calls())
            if (call.write) writes.push_back(call.bytes);
        return writes;
    }
    std::vector<uint32_t> ReadLengths() const {
        std::vector<uint32_t> lengths;
        for (const Call& call : Calls())
            if (!call.write) lengths.push_back(call.length);
        return lengths;
    }
    bool Closed() const {
        std::lock_guard lock(m_mutex);
        return m_closed;
    }
    // Forgets the record, the queued answers and the failures to come.
    void Clear() {
        std::lock_guard lock(m_mutex);
        m_calls.clear();
        m_stream.clear();
        failing.clear();
        shortened.clear();
    }

    bool Write(const uint8_t* data, uint32_t length, uint32_t& transferred) {
        Bytes bytes(data, data + length);
        Responder responder;
        {
            std::lock_guard lock(m_mutex);
            const size_t index = Record(true, bytes, length);
            if (m_closed || failing.count(index) != 0) return false;
            transferred = shortened.count(index) != 0 && length > 0 ? length - 1 : length;
            responder = this->responder;
        }
        if (responder) responder(*this, bytes);
        return true;
    }
    bool Read(uint8_t* data, uint32_t length, uint32_t& transferred) {
        std::lock_guard lock(m_mutex);
        const size_t index = Record(false, {}, length);
        // Nothing queued: the driver's time-out.
        if (m_closed || failing.count(index) != 0 || m_stream.empty()) return false;
        transferred = std::min<uint32_t>(length, static_cast<uint32_t>(m_stream.size()));
        if (shortened.count(index) != 0 && transferred > 0) --transferred;
        std::copy_n(m_stream.begin(), transferred, data);
        m_stream.erase(m_stream.begin(), m_stream.begin() + transferred);
        return true;
    }
    void Close() {
        std::lock_guard lock(m_mutex);
        m_closed = true;
    }

    // Calls are numbered from 0, writes and reads together. Set before the
    // traffic they concern starts.
    std::set<size_t> failing;
    std::set<size_t> shortened;
    Responder responder;

private:
    size_t Record(bool write, Bytes bytes, uint32_t length) {
        m_calls.push_back({write, std::move(bytes), length, std::chrono::steady_clock::now()});
        return m_calls.size() - 1;
    }

    mutable std::mutex m_mutex;
    std::deque<uint8_t> m_stream;
    std::vector<Call> m_calls;
    bool m_closed = false;
};

class ScriptedUsbHandle : public platform::UsbDriverHandle {
public:
    explicit ScriptedUsbHandle(std::shared_ptr<UsbScript> script) : m_script(std::move(script)) {}
    bool Write(const uint8_t* data, uint32_t length, uint32_t& transferred) override {
        return m_script->Write(data, length, transferred);
    }
    bool Read(uint8_t* data, uint32_t length, uint32_t& transferred) override {
        return m_script->Read(data, length, transferred);
    }
    bool ReadDescriptor(uint8_t*, uint32_t, uint32_t&) override { return false; }
    void Close() override { m_script->Close(); }
    bool IsOpen() const override { return !m_script->Closed(); }
    uintptr_t LogValue() const override { return 0xC0FFEE; }

private:
    std::shared_ptr<UsbScript> m_script;
};

// Logs into a file of the test's own; hands out handles on m_script.
class UsbLogFixture : public LoggedTest {
protected:
    std::unique_ptr<platform::UsbDriverHandle> Handle() {
        return std::make_unique<ScriptedUsbHandle>(m_script);
    }

    std::shared_ptr<UsbScript> m_script = std::make_shared<UsbScript>();
};

// The models with their state records and settings open to tests.
template <typename Model>
class Open : public Model {
public:
    using CUSBDevice::m_AutoTriggerSensitivity;
    using CUSBDevice::m_State0;
    using CUSBDevice::m_State1;
    using CUSBDevice::m_State10;
    using CUSBDevice::m_State2;
    using Model::Model;

    void Set(const std::string& property, const std::string& value) {
        CProperties properties;
        properties.CopyFrom(this->CaptureProperties());
        ASSERT_TRUE(properties.SetProperty(property, value));
        this->SetCaptureProperties(properties);
    }
};
using OpenU1 = Open<CUSBDeviceU1>;
using OpenU2 = Open<CUSBDeviceU2>;

}  // namespace kvt_test
