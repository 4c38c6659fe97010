// The simulator interface: simulated USB sensors on the in-process bus and
// simulated Ethernet sensors on loopback TCP.
#include "api/SimulatorExports.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "common/Log.h"
#include "common/Text.h"
#include "kvt/KVTSimulator.h"
#include "platform/Environment.h"
#include "platform/Sockets.h"
#include "sim/ethernet/EmulatedEthernetSensor.h"
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

// Sensors attached through this interface show synthesized fingerprints.
void UseSynthesizedFrames() {
    static std::once_flag realisticFrames;
    std::call_once(realisticFrames,
                   [] { sim::SetFrameSource(std::make_shared<sim::SynthFrameSource>()); });
}

// The running Ethernet sensors. Their threads log and render, so the log and
// the frame source are made first and outlive the sensors at exit.
class EthernetSensors {
public:
    static EthernetSensors& Instance() {
        CLog::Instance();
        sim::CurrentFrameSource();
        static EthernetSensors sensors;
        return sensors;
    }

    void Add(int simId, std::shared_ptr<sim::EmulatedEthernetSensor> sensor) {
        std::lock_guard lock(m_mutex);
        m_sensors.emplace(simId, std::move(sensor));
    }
    std::shared_ptr<sim::EmulatedEthernetSensor> Find(int simId) {
        std::lock_guard lock(m_mutex);
        const auto it = m_sensors.find(simId);
        return it != m_sensors.end() ? it->second : nullptr;
    }
    std::shared_ptr<sim::EmulatedEthernetSensor> Remove(int simId) {
        std::lock_guard lock(m_mutex);
        const auto it = m_sensors.find(simId);
        if (it == m_sensors.end()) return nullptr;
        auto sensor = std::move(it->second);
        m_sensors.erase(it);
        return sensor;
    }

private:
    std::mutex m_mutex;
    std::map<int, std::shared_ptr<sim::EmulatedEthernetSensor>> m_sensors;
};

bool ValidAddress(const char* text) {
    platform::SocketAddress address;
    return platform::MakeSocketAddress(text, 0, address);
}

int InjectEthernetFault(sim::EmulatedEthernetSensor& sensor, int fault) {
    using sim::EthernetFault;
    static constexpr std::pair<int, EthernetFault> kFaults[] = {
        {KVTSIM_FAULT_NO_ANSWER, EthernetFault::kNoAnswer},
        {KVTSIM_FAULT_SHORT_ANSWER, EthernetFault::kShortAnswer},
        {KVTSIM_FAULT_WRONG_COMMAND, EthernetFault::kWrongCmdId},
        {KVTSIM_FAULT_UNPLUG_IN_IMAGE, EthernetFault::kCloseInImage},
        {KVTSIM_FAULT_LENGTH_ZERO, EthernetFault::kLengthZero},
        {KVTSIM_FAULT_LENGTH_TOO_LARGE, EthernetFault::kLengthTooLarge},
        {KVTSIM_FAULT_ECHO_STOPS, EthernetFault::kEchoStops},
    };
    if (fault == KVTSIM_FAULT_NONE) {
        sensor.ClearFaults();
        return KVTSIM_OK;
    }
    for (const auto& [code, kind] : kFaults) {
        if (code != fault) continue;
        sensor.InjectFault(kind);
        return KVTSIM_OK;
    }
    return KVTSIM_BAD_ARGUMENT;
}

int Attach(int model, uint32_t serial, int* simId) {
    UseSynthesizedFrames();
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
        const std::string text = platform::EnvironmentVariable("KVT_SIMULATED_SENSORS");
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

KVT_API int KVT_CALL KVTSim_ConnectEthernetSensor(const char* listenerAddress, int listenerPort,
                                                  const char* sensorAddress,
                                                  unsigned int serialNumber, int echoPort,
                                                  int* simId) {
    return GuardSimulator("KVTSim_ConnectEthernetSensor", [&] {
        if (simId == nullptr || !ValidAddress(listenerAddress) || !ValidAddress(sensorAddress) ||
            listenerPort < 1 || listenerPort > 65535 || echoPort < 0 || echoPort > 65535)
            return KVTSIM_BAD_ARGUMENT;
        UseSynthesizedFrames();
        sim::EthernetSensorConfig config;
        config.listenerAddress = listenerAddress;
        config.listenerPort = listenerPort;
        config.sensorAddress = sensorAddress;
        config.serialNumber = serialNumber;
        config.echoPort = echoPort == 0 ? sim::EthernetSensorConfig::kNoEchoService : echoPort;
        auto sensor = std::make_shared<sim::EmulatedEthernetSensor>(config);
        if (!sensor->Start()) return KVTSIM_FAILED;
        const int id = sim::SimUsbBus::Instance().ReserveId();
        EthernetSensors::Instance().Add(id, std::move(sensor));
        *simId = id;
        CLog::Instance().Info("simulated Ethernet sensor %d at %s connected to %s:%d (serial %u)",
                              id, sensorAddress, listenerAddress, listenerPort, serialNumber);
        return KVTSIM_OK;
    });
}

KVT_API int KVT_CALL KVTSim_PlaceFinger(int simId, int fingerId, int impression, int live) {
    return GuardSimulator("KVTSim_PlaceFinger", [&] {
        if (fingerId < 0 || impression < 0) return KVTSIM_BAD_ARGUMENT;
        const sim::FingerOnSensor finger{static_cast<uint32_t>(fingerId),
                                         static_cast<uint32_t>(impression), live != 0};
        if (auto sensor = sim::SimUsbBus::Instance().Sensor(simId)) {
            sensor->PlaceFinger(finger);
        } else if (auto ethernet = EthernetSensors::Instance().Find(simId)) {
            ethernet->PlaceFinger(finger);
        } else {
            return KVTSIM_BAD_ARGUMENT;
        }
        return KVTSIM_OK;
    });
}

KVT_API int KVT_CALL KVTSim_LiftFinger(int simId) {
    return GuardSimulator("KVTSim_LiftFinger", [&] {
        if (auto sensor = sim::SimUsbBus::Instance().Sensor(simId)) {
            sensor->LiftFinger();
        } else if (auto ethernet = EthernetSensors::Instance().Find(simId)) {
            ethernet->LiftFinger();
        } else {
            return KVTSIM_BAD_ARGUMENT;
        }
        return KVTSIM_OK;
    });
}

KVT_API int KVT_CALL KVTSim_InjectFault(int simId, int fault) {
    return GuardSimulator("KVTSim_InjectFault", [&] {
        auto sensor = sim::SimUsbBus::Instance().Sensor(simId);
        if (!sensor) {
            auto ethernet = EthernetSensors::Instance().Find(simId);
            return ethernet ? InjectEthernetFault(*ethernet, fault) : KVTSIM_BAD_ARGUMENT;
        }
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

KVT_API int KVT_CALL KVTSim_GetIndicatedResult(int simId, int* state) {
    return GuardSimulator("KVTSim_GetIndicatedResult", [&] {
        auto sensor = EthernetSensors::Instance().Find(simId);
        if (!sensor || state == nullptr) return KVTSIM_BAD_ARGUMENT;
        *state = sensor->IndicatedState();
        return KVTSIM_OK;
    });
}

KVT_API int KVT_CALL KVTSim_Detach(int simId) {
    return GuardSimulator("KVTSim_Detach", [&] {
        if (sim::SimUsbBus::Instance().Detach(simId)) return KVTSIM_OK;
        auto sensor = EthernetSensors::Instance().Remove(simId);
        if (!sensor) return KVTSIM_BAD_ARGUMENT;
        sensor->Stop();
        CLog::Instance().Info("simulated Ethernet sensor %d stopped", simId);
        return KVTSIM_OK;
    });
}

}  // extern "C"
