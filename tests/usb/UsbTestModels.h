#pragma once

#include <gtest/gtest.h>

#include "usb/USBDeviceU1.h"
#include "usb/USBDeviceU2.h"

namespace kvt_test {

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
