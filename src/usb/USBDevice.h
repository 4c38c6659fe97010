#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "devicemanager/Device.h"
#include "platform/CritSec.h"
#include "platform/UsbDriver.h"
#include "usb/UsbMaps.h"

struct PictureGeometry;

// What both USB sensor models share: the driver handle and every exchange
// with the sensor's controller. An exchange is a command header and body out,
// then a response header and body in; the register and command maps say where
// each value lives.
class CUSBDevice : public CDevice {
public:
    // CmdID values of the command header.
    static constexpr uint8_t kCmdState = 0x00;
    static constexpr uint8_t kCmdImage = 0x01;
    static constexpr uint8_t kCmdI2CRead = 0x02;
    static constexpr uint8_t kCmdADC = 0x03;
    static constexpr uint8_t kCmdSetState = 0x40;
    static constexpr uint8_t kCmdI2CWrite = 0x42;

    static constexpr uint32_t kHeaderSize = 8;
    static constexpr uint32_t kI2CReadBodySize = 8;
    static constexpr uint32_t kI2CWriteBodySize = 40;
    static constexpr uint32_t kI2CWriteDataSize = 32;
    static constexpr uint32_t kImageChunkSize = 32768;
    static constexpr uint32_t kCommandAnswerCapacity = 128;

    // Two frame descriptors of eight bytes; an all-zero second one asks for
    // one frame only.
    using ImageRequest = std::array<uint8_t, 16>;

    CUSBDevice(std::unique_ptr<platform::UsbDriverHandle> handle, const std::string& deviceId);
    ~CUSBDevice() override;

    CEthernetDevice* AsEthernetDevice() override { return nullptr; }
    CUSBDevice* AsUSBDevice() override { return this; }
    // 3 when the state cannot be read or the sensor reports not ready, else 0.
    int GetDeviceStatus() override;
    bool ResetAsyncWaitDevice() override;
    bool ResetDevice() override { return false; }
    std::string GetFirmwareVersion() override;
    std::string GetDeviceID() override;
    int CloseDevice() override;

    virtual bool IsDeviceOpen();
    // The memory that holds the model's copy of the imager registers.
    virtual uint8_t GetMemoryLocationForRegister() = 0;
    virtual uint8_t GetMemoryLocationForCommand(uint16_t command) = 0;
    // Used while the sensor reports no auto-trigger sensitivity of its own.
    virtual uint8_t GetDefaultTriggerSensitivity() = 0;
    virtual bool SetEEPROMLockBit(bool on) = 0;
    virtual bool GetADC(std::span<const uint8_t> request, std::vector<uint8_t>& answer) = 0;
    virtual bool IsSensorFree(bool& free) = 0;
    virtual bool SetDeviceState(uint8_t state);
    virtual uint8_t GetIdleCommandLED() { return 0; }
    virtual uint32_t GetSerialNumberBioBoard() = 0;
    virtual bool RequiresImagerUpdate() { return true; }

    // One bulk transfer. With check set, moving fewer or more bytes fails.
    bool Write(const uint8_t* buffer, uint32_t length, bool check);
    bool Read(uint8_t* buffer, uint32_t length, bool check);
    // Applies a state response body: records of length, type and payload.
    bool UpdateStates(const uint8_t* buffer, uint32_t length);

    bool ReadI2CRegisterFromDevice(uint8_t memory, uint16_t reg, uint8_t* out, uint8_t count);
    bool WriteI2CRegisterToDevice(uint8_t memory, uint16_t reg, uint8_t value);
    // length holds out's capacity on entry and the bytes received on return.
    bool ReadI2CCommandFromDevice(uint8_t memory, uint16_t command, uint8_t* out, uint8_t& length);
    bool WriteI2CCommandToDevice(uint8_t memory, uint16_t command, const uint8_t* data,
                                 uint16_t length);

    // Copies the imager timing from the model's register memory into the imager.
    bool InitImager();
    bool ReadImageOffsets(uint8_t& offsetX, uint8_t& offsetY);
    bool ReadAutoTriggerSensitivity();

protected:
    // Fills one frame descriptor of an image request.
    static void PutFrameDescriptor(uint8_t* descriptor, const PictureGeometry& size,
                                   uint8_t offsetX, uint8_t offsetY,
                                   const std::array<uint8_t, 4>& leds);
    // Sends an image request and reads the frames it asks for. The image
    // always has the size the request asks for; bytes the sensor did not send
    // stay 0. On failure, failure names the step that failed.
    bool RequestImage(const ImageRequest& request, std::vector<uint8_t>& image,
                      const char*& failure);

    // Command header, then the body unless it is empty.
    bool SendRequest(uint8_t cmdId, const uint8_t* body, uint32_t length);
    bool ReceiveHeader(uint32_t& length, uint8_t& cmdId);
    bool ReceiveBody(uint32_t length, std::vector<uint8_t>& body);

    // The status LED state that shows an indicated result (1 succeeded; 0, 2
    // and 3 failed, tentative or error); false for any other result.
    static bool ResultState(int result, uint8_t succeeded, uint8_t failed, uint8_t& state);
    // Bytes 2 and 3 of the last type-2 state record.
    void GetControllerFirmwareVersion(uint8_t& major, uint8_t& minor);

    std::unique_ptr<platform::UsbDriverHandle> m_hDevice;
    std::string m_strDeviceID;
    uint8_t m_AutoTriggerSensitivity = 0;
    // Set from another thread to end a waiting capture.
    // A cancel may come before the wait starts and clears m_bCancel; the
    // capture's own cancel flag, cleared before the capture thread exists, covers that.
    bool CancelRequested() const { return m_bCancel != 0 || IsCancelled(); }
    std::atomic<uint8_t> m_bCancel{0};
    uint8_t m_State0[4] = {};
    uint8_t m_State1[8] = {};
    uint8_t m_State10[6] = {};
    uint8_t m_State2[4] = {};
    std::deque<uint16_t> m_TriggerHistory;
    // Held for each whole exchange, so two threads never mix their transfers
    // on the handle; also guards the handle and the state records.
    CCritSec m_exchangeLock;

private:
    // Reads a state response (CmdID 0x00) and applies its body.
    bool ReceiveStateResponse();
    // The address field for a request on a register; false after logging
    // when the memory has no such register.
    bool SelectRegister(const char* operation, uint8_t memory, uint16_t reg,
                        uint16_t parameterCommand, uint16_t& address);
};
