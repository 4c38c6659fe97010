// The simulator interface: simulated USB sensors on the in-process bus.
#include "api/SimulatorExports.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>

#include "common/Log.h"
#include "common/Text.h"
#include "kvt/KVTSimulator.h"
#include "sim/usb/SimUsbBus.h"
#include "sim/usb/SynthFrameSource.h"

namespace {

// Gives sensors attached without a serial number distinct ones.
std::atomic<uint32_t> g_nextSerial{10000001};

bool ParseSerial(const char* text, uint32_t& serial) {
    if (text == nullptr) {
        serial = g_nextSerial.fetch_add(1);
        return true;
    }
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || value > 0xFFFFFFFFul) return false;
    serial = static_cast<uint32_t>(value);
    return true;
}

template <typename Body>
int GuardSimulator(const char* name, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::exception& e) {
        CLog::Instance().Error("%s exception: %s", name, e.what());
    } catch (...) {
        CLog::Instance().Error("%s exception: %s", name, "unknown");
    }
    return KVTSIM_FAILED;
}

int Attach(int model, uint32_t serial, int* simId) {
    // Sensors attached through this interface show synthesized fingerprints.
    static std::once_flag realisticFrames;
    std::call_once(realisticFrames,
                   [] { sim::SetFrameSource(std::make_shared<sim::SynthFrameSource>()); });
    const sim::SensorModel sensorModel =
        model == KVTSIM_MODEL_U1 ? sim::SensorModel::kU1 : sim::SensorModel::kU2;
    *simId = sim::SimUsbBus::Instance().Attach(sensorModel, serial);
    CLog::Instance().Info("simulated %s sensor %d attached (serial %u)",
                          model == KVTSIM_MODEL_U1 ? "U1" : "U2", *simId, serial);
    return KVTSIM_OK;
}

}  // namespace

void AttachSimulatedSensorsFromEnvironment() {
    // Once per process: sensors stay plugged in across restarts of the library.
    static std::once_flag attached;
    std::call_once(attached, [] {
        const char* list = std::getenv("KVT_SIMULATED_SENSORS");
        if (list == nullptr) return;
        std::string text = list;
        size_t start = 0;
        while (start <= text.size()) {
            const size_t comma = std::min(text.find(',', start), text.size());
            const std::string token = text.substr(start, comma - start);
            int simId = 0;
            if (EqualNoCase(token, "u1")) {
                Attach(KVTSIM_MODEL_U1, g_nextSerial.fetch_add(1), &simId);
            } else if (EqualNoCase(token, "u2")) {
                Attach(KVTSIM_MODEL_U2, g_nextSerial.fetch_add(1), &simId);
            } else if (!token.empty()) {
                CLog::Instance().Warning("KVT_SIMULATED_SENSORS: unknown sensor model '%s'",
                                         token.c_str());
            }
            start = comma + 1;
        }
    });
}

extern "C" {

KVT_API int KVT_CALL KVTSim_AttachUsbSensor(int model, const char* serialNumber, int* simId) {
    return GuardSimulator("KVTSim_AttachUsbSensor", [&] {
        uint32_t serial = 0;
        if (simId == nullptr || (model != KVTSIM_MODEL_U1 && model != KVTSIM_MODEL_U2) ||
            !ParseSerial(serialNumber, serial))
            return KVTSIM_BAD_ARGUMENT;
        return Attach(model, serial, simId);
    });
}

KVT_API int KVT_CALL KVTSim_PlaceFinger(int simId, int fingerId, int impression, int live) {
    return GuardSimulator("KVTSim_PlaceFinger", [&] {
        auto sensor = sim::SimUsbBus::Instance().Sensor(simId);
        if (!sensor || fingerId < 0 || impression < 0) return KVTSIM_BAD_ARGUMENT;
        sensor->PlaceFinger(sim::FingerOnSensor{static_cast<uint32_t>(fingerId),
                                                static_cast<uint32_t>(impression), live != 0});
        return KVTSIM_OK;
    });
}

KVT_API int KVT_CALL KVTSim_LiftFinger(int simId) {
    return GuardSimulator("KVTSim_LiftFinger", [&] {
        auto sensor = sim::SimUsbBus::Instance().Sensor(simId);
        if (!sensor) return KVTSIM_BAD_ARGUMENT;
        sensor->LiftFinger();
        return KVTSIM_OK;
    });
}

KVT_API int KVT_CALL KVTSim_InjectFault(int simId, int fault) {
    return GuardSimulator("KVTSim_InjectFault", [&] {
        auto sensor = sim::SimUsbBus::Instance().Sensor(simId);
        if (!sensor) return KVTSIM_BAD_ARGUMENT;
        switch (fault) {
            case KVTSIM_FAULT_NONE:
                sensor->ClearFaults();
                return KVTSIM_OK;
            case KVTSIM_FAULT_NO_ANSWER:
                sensor->InjectFault(sim::Fault::kNoAnswer);
                return KVTSIM_OK;
            case KVTSIM_FAULT_SHORT_ANSWER:
                sensor->InjectFault(sim::Fault::kShortAnswer);
                return KVTSIM_OK;
            case KVTSIM_FAULT_WRONG_COMMAND:
                sensor->InjectFault(sim::Fault::kWrongCmdId);
                return KVTSIM_OK;
            case KVTSIM_FAULT_BAD_STATE:
                sensor->InjectFault(sim::Fault::kBadStateRecord);
                return KVTSIM_OK;
            case KVTSIM_FAULT_UNPLUG_IN_IMAGE:
                sensor->UnplugAfterImageChunks(1);
                return KVTSIM_OK;
            default:
                return KVTSIM_BAD_ARGUMENT;
        }
    });
}

KVT_API int KVT_CALL KVTSim_Detach(int simId) {
    return GuardSimulator("KVTSim_Detach", [&] {
        return sim::SimUsbBus::Instance().Detach(simId) ? KVTSIM_OK : KVTSIM_BAD_ARGUMENT;
    });
}

}  // extern "C"
