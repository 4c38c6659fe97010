// kvt demo: a walk through the SDK on simulated sensors.
#include "Demo.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Cli.h"
#include "Files.h"
#include "GreyImage.h"
#include "Output.h"
#include "Session.h"
#include "kvt/KVTSimulator.h"

namespace fs = std::filesystem;

namespace {

// Where the demo's Ethernet sensors connect: a listener on loopback at a port
// of its own, so a real installation on 43981 is left alone. Each emulated
// sensor has its own loopback address and runs its echo service there.
struct EthernetSetup {
    std::string listenerAddress = "127.0.0.1";
    int port = 0;
    int echoPort = 7007;
};

EthernetSetup g_ethernet;

// The kinds of simulated sensor the demo walks: a label, a short name for
// file names, and how to plug it in.
struct SensorKind {
    const char* label;
    const char* shortName;
    std::function<int(int*)> plug;
};

int ConnectEthernet(const char* sensorAddress, unsigned serial, int* simId) {
    return KVTSim_ConnectEthernetSensor(g_ethernet.listenerAddress.c_str(), g_ethernet.port,
                                        sensorAddress, serial, g_ethernet.echoPort, simId);
}

const std::vector<SensorKind>& Kinds() {
    static const std::vector<SensorKind> kinds{
        {"U2 (newer USB)", "u2",
         [](int* simId) { return KVTSim_AttachUsbSensor(KVTSIM_MODEL_U2, nullptr, simId); }},
        {"U1 (older USB)", "u1",
         [](int* simId) { return KVTSim_AttachUsbSensor(KVTSIM_MODEL_U1, nullptr, simId); }},
        {"E1 (Ethernet) #1", "e1a",
         [](int* simId) { return ConnectEthernet("127.0.0.2", 20000001, simId); }},
        {"E1 (Ethernet) #2", "e1b",
         [](int* simId) { return ConnectEthernet("127.0.0.3", 20000002, simId); }},
    };
    return kinds;
}

// A fresh data folder gets a listener of the demo's own; settings that are
// already there are followed.
void PrepareEthernetListener(const fs::path& data) {
    const fs::path ini = data / "KVTDeviceManager.ini";
    std::ifstream existing(ini);
    if (existing) {
        g_ethernet.port = 43981;
        g_ethernet.echoPort = 7;
        std::string line;
        std::string section;
        while (std::getline(existing, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.rfind('[', 0) == 0) section = line;
            if (section != "[DeviceListener_1]") continue;
            const size_t equals = line.find('=');
            if (equals == std::string::npos) continue;
            const std::string key = line.substr(0, equals);
            const std::string value = line.substr(equals + 1);
            if (key == "IP-Address" && value != "0.0.0.0") g_ethernet.listenerAddress = value;
            if (key == "Port") g_ethernet.port = std::atoi(value.c_str());
            if (key == "EchoPort") g_ethernet.echoPort = std::atoi(value.c_str());
        }
        return;
    }
    std::random_device random;
    g_ethernet.port = 45000 + static_cast<int>(random() % 15000);
    std::ofstream file(ini);
    file << "[DeviceListener_1]\nIP-Address=" << g_ethernet.listenerAddress
         << "\nPort=" << g_ethernet.port << "\nEchoPort=" << g_ethernet.echoPort << "\n";
}

struct DemoSensor {
    const SensorKind* kind;
    int simId = 0;
    KVT_DeviceInfo info{};
    std::string Id() const { return info.deviceId; }
};

struct Row {
    std::string sensor;
    std::string step;
    std::string result;
    std::string files;
};

constexpr int kLive = 1;
constexpr int kFake = 0;

void SetEnvironment(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

// KVT_DATA_DIR when given, else a new folder of its own, so the demo never
// touches the machine's settings.
fs::path DemoDataFolder() {
    const char* given = std::getenv("KVT_DATA_DIR");
    if (given != nullptr && *given != '\0') return given;
    std::random_device random;
    std::error_code ec;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path folder =
            fs::temp_directory_path(ec) / ("kvt-demo-" + std::to_string(random() % 1000000));
        if (fs::create_directory(folder, ec)) {
            SetEnvironment("KVT_DATA_DIR", folder.string());
            return folder;
        }
    }
    return {};
}

// A step that did not do what it shows: a library error or a message that
// never came.
bool StepFailed(const std::string& result) {
    return result.rfind("failed:", 0) == 0 ||
           (result.rfind("no ", 0) == 0 && result.ends_with(" message"));
}

std::string Failed(int result) {
    return std::string("failed: ") + cli::ResultText(result) + " (" + std::to_string(result) + ")";
}

class Demo {
public:
    Demo(std::FILE* out, fs::path pictures) : m_out(out), m_pictures(std::move(pictures)) {}

    int Run();

private:
    bool PlugIn();
    void ListSensors();
    void CaptureSync(DemoSensor& sensor);
    void CaptureAsync(DemoSensor& sensor);
    void GradeLiveness(DemoSensor& sensor);
    void Cancel(DemoSensor& sensor);
    void Identify(DemoSensor& sensor);
    void Unplug();
    void Summary();

    // Writes the BMP and, when PNG is available, the PNG; returns their names.
    std::string Save(const std::vector<uint8_t>& bmp, const std::string& stem);
    int Enrol(DemoSensor& sensor, int finger, int impression, KVT_Template& tpl);

    std::FILE* m_out;
    fs::path m_pictures;
    Session m_session;
    std::vector<DemoSensor> m_sensors;
    std::vector<Row> m_rows;
};

std::string Demo::Save(const std::vector<uint8_t>& bmp, const std::string& stem) {
    std::string error;
    const fs::path bmpPath = m_pictures / (stem + ".bmp");
    if (!WriteFile(bmpPath.string(), bmp, error)) return error;
    std::string files = stem + ".bmp";
    if (PngSupported()) {
        const fs::path pngPath = m_pictures / (stem + ".png");
        files += WriteBmpAsPng(bmp, pngPath.string(), error) ? ", " + stem + ".png" : "  " + error;
    }
    return files;
}

bool Demo::PlugIn() {
    std::fprintf(m_out, "1. Plugging in simulated sensors\n");
    for (const SensorKind& kind : Kinds()) {
        DemoSensor sensor{&kind};
        std::string error;
        if (!m_session.Attach(kind.plug, sensor.simId, sensor.info, error)) {
            // The walk goes on with the sensors that came.
            std::fprintf(m_out, "   skipped    %-16s %s\n", kind.label, error.c_str());
            m_rows.push_back({kind.label, "plug in", "failed: " + error, ""});
            continue;
        }
        std::fprintf(m_out, "   NewDevice  %-16s %s, serial %s, firmware %s\n", kind.label,
                     sensor.info.description, sensor.info.serialNumber,
                     sensor.info.firmwareVersion);
        m_sensors.push_back(sensor);
    }
    return !m_sensors.empty();
}

void Demo::ListSensors() {
    std::vector<KVT_DeviceInfo> devices;
    m_session.Devices(devices);
    std::fprintf(m_out, "\n2. KVT_GetDeviceList: %zu sensors\n", devices.size());
    Table table({"MODEL", "CONNECTION", "SERIAL", "FIRMWARE", "DEVICE ID"});
    for (const KVT_DeviceInfo& d : devices)
        table.Add({d.description, ConnectionName(d.connectionType), d.serialNumber,
                   d.firmwareVersion, d.deviceId});
    table.Print(m_out, 3);
}

void Demo::CaptureSync(DemoSensor& sensor) {
    KVTSim_PlaceFinger(sensor.simId, 1, 1, kLive);
    for (const char* size : {"ROI", "Full"}) {
        KVT_SetProperty(sensor.Id().c_str(), "PictureSize", size);
        Captured captured;
        const int result = ::CaptureSync(sensor.Id(), captured);
        int width = 0;
        int height = 0;
        BmpSize(captured.image, width, height);
        m_rows.push_back(
            {sensor.kind->label, std::string("sync capture, ") + size,
             result == KVT_RESULT_OK ? std::to_string(width) + " x " + std::to_string(height) +
                                           ", LFD " + std::to_string(captured.lfdLevel)
                                     : Failed(result),
             result == KVT_RESULT_OK
                 ? Save(captured.image, std::string(sensor.kind->shortName) + "-sync-" + size)
                 : ""});
    }
    KVT_SetProperty(sensor.Id().c_str(), "PictureSize", "ROI");
    KVTSim_LiftFinger(sensor.simId);
}

void Demo::CaptureAsync(DemoSensor& sensor) {
    const int result = KVT_CaptureImage(sensor.Id().c_str(), 10, nullptr);
    // The capture waits for a finger; it comes a moment later.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    KVTSim_PlaceFinger(sensor.simId, 3, 2, kLive);
    Delivered image;
    const bool got = result == KVT_RESULT_OK &&
                     m_session.Messages().Take(KVT_MSG_CAPTURED_IMAGE, sensor.Id(), image);
    int width = 0;
    int height = 0;
    BmpSize(image.image, width, height);
    m_rows.push_back(
        {sensor.kind->label, "async capture",
         got ? "CapturedImage " + std::to_string(width) + " x " + std::to_string(height) +
                   ", LFD " + std::to_string(image.lfdLevel)
         : result != KVT_RESULT_OK ? Failed(result)
                                   : "no CapturedImage message",
         got ? Save(image.image, std::string(sensor.kind->shortName) + "-async") : ""});
    KVTSim_LiftFinger(sensor.simId);
}

void Demo::GradeLiveness(DemoSensor& sensor) {
    for (const int live : {kLive, kFake}) {
        KVTSim_PlaceFinger(sensor.simId, 2, 1, live);
        Captured captured;
        const int result = ::CaptureSync(sensor.Id(), captured);
        m_rows.push_back(
            {sensor.kind->label, live == kLive ? "LFD, live finger" : "LFD, fake finger",
             result == KVT_RESULT_OK ? "level " + std::to_string(captured.lfdLevel) + " of 5"
                                     : Failed(result),
             ""});
        KVTSim_LiftFinger(sensor.simId);
    }
}

void Demo::Cancel(DemoSensor& sensor) {
    KVT_CaptureImage(sensor.Id().c_str(), 30, nullptr);
    int available = 0;
    const int result = KVT_CancelAsyncCapture(sensor.Id().c_str(), &available);
    Delivered cancelled;
    const bool got = m_session.Messages().Take(KVT_MSG_CAPTURE_CANCELLED, sensor.Id(), cancelled);
    m_rows.push_back({sensor.kind->label, "cancel async capture",
                      result != KVT_RESULT_OK ? Failed(result)
                      : got                   ? std::string("CaptureCancelled, sensor ") +
                                  (available ? "free again" : "still busy")
                            : "no CaptureCancelled message",
                      ""});
    // Shows the outcome on the sensor's lights.
    KVT_IndicateResult(sensor.Id().c_str(), KVT_FEEDBACK_SUCCEEDED);
}

int Demo::Enrol(DemoSensor& sensor, int finger, int impression, KVT_Template& tpl) {
    KVTSim_PlaceFinger(sensor.simId, finger, impression, kLive);
    Captured captured;
    int result = ::CaptureSync(sensor.Id(), captured);
    KVTSim_LiftFinger(sensor.simId);
    if (result != KVT_RESULT_OK) return result;
    KVT_CapturedData image{};
    image.size = sizeof image;
    image.image = captured.image.data();
    image.imageSize = static_cast<unsigned int>(captured.image.size());
    captured.properties.copy(image.properties, sizeof image.properties - 1);
    tpl = KVT_Template{};
    tpl.size = sizeof tpl;
    return KVT_ExtractTemplate(&image, &tpl);
}

void Demo::Identify(DemoSensor& sensor) {
    KVT_BiometricsInfo algorithm{};
    algorithm.size = sizeof algorithm;
    if (const int result = KVT_GetBiometricsInfo(&algorithm); result != KVT_RESULT_OK) {
        m_rows.push_back({"algorithm", "identify", Failed(result), ""});
        return;
    }
    // Virtual fingers 12 to 16 are enrolled; 20 never is. (Finger 11 is an
    // arch with too few minutiae in the window for any touch.)
    constexpr int kFirstFinger = 12;
    constexpr int kFingers = 5;
    constexpr int kStranger = 20;
    std::vector<KVT_Template> gallery;
    std::vector<int> fingers;
    constexpr int kTouches = 3;
    int retouched = 0;
    for (int finger = kFirstFinger; finger < kFirstFinger + kFingers; ++finger) {
        KVT_Template tpl;
        // A touch with too few minutiae is refused; as an application would,
        // the demo asks for another touch.
        for (int touch = 0; touch < kTouches; ++touch) {
            if (Enrol(sensor, finger, touch, tpl) != KVT_RESULT_OK) continue;
            gallery.push_back(tpl);
            fingers.push_back(finger);
            retouched += touch > 0;
            break;
        }
    }
    std::string enrolled =
        std::to_string(gallery.size()) + " of " + std::to_string(kFingers) + " fingers";
    if (retouched > 0) enrolled += ", " + std::to_string(retouched) + " needed another touch";
    m_rows.push_back({algorithm.name, "enrol (extract templates)", enrolled, ""});
    if (gallery.empty()) return;
    for (const int probeFinger : {fingers.back(), kStranger}) {
        KVT_Template probe;
        KVT_MatchResult match{};
        match.size = sizeof match;
        int result = Enrol(sensor, probeFinger, 4, probe);
        if (result == KVT_RESULT_OK)
            result = KVT_MatchTemplate(&probe, gallery.data(),
                                       static_cast<unsigned int>(gallery.size()), &match);
        std::string outcome = result != KVT_RESULT_OK ? Failed(result)
                              : match.success == 0
                                  ? "matched finger " + std::to_string(fingers[match.index])
                                  : "no match";
        if (result == KVT_RESULT_OK) outcome += ", score " + std::to_string(match.score);
        m_rows.push_back({algorithm.name,
                          "identify finger " + std::to_string(probeFinger) +
                              (probeFinger == kStranger ? " (not enrolled)" : ""),
                          outcome, ""});
    }
}

void Demo::Unplug() {
    // All at once: a USB sensor is missed at once, an Ethernet sensor only
    // when its keep-alive gets no echo (within about 10 s).
    const auto unplugged = std::chrono::steady_clock::now();
    for (const DemoSensor& sensor : m_sensors) KVTSim_Detach(sensor.simId);
    for (const DemoSensor& sensor : m_sensors) {
        Delivered lost;
        const bool got = m_session.Messages().Take(KVT_MSG_LOST_DEVICE, sensor.Id(), lost,
                                                   std::chrono::seconds(20));
        char after[48];
        std::snprintf(
            after, sizeof after, "LostDevice after %.1f s",
            std::chrono::duration<double>(std::chrono::steady_clock::now() - unplugged).count());
        m_rows.push_back({sensor.kind->label, "unplug", got ? after : "no LostDevice message", ""});
    }
}

void Demo::Summary() {
    std::fprintf(m_out, "\nSummary\n");
    Table table({"SENSOR", "STEP", "RESULT", "PICTURES"});
    for (const Row& row : m_rows) table.Add({row.sensor, row.step, row.result, row.files});
    table.Print(m_out, 2);
}

int Demo::Run() {
    const auto started = std::chrono::steady_clock::now();
    if (const int result = m_session.Start(); result != KVT_RESULT_OK) {
        std::fprintf(stderr, "kvt demo: KVT_Start: %s (%d)\n", cli::ResultText(result), result);
        return cli::ExitFromResult(result);
    }
    if (!PlugIn()) return cli::kExitNoSensor;
    ListSensors();

    std::fprintf(m_out, "\n3. Synchronous and asynchronous captures from each sensor\n");
    for (DemoSensor& sensor : m_sensors) {
        CaptureSync(sensor);
        CaptureAsync(sensor);
    }
    std::fprintf(m_out, "4. Live finger detection: a live and a fake finger on each sensor\n");
    for (DemoSensor& sensor : m_sensors) GradeLiveness(sensor);
    std::fprintf(m_out, "5. Cancelling an asynchronous capture\n");
    Cancel(m_sensors.front());
    std::fprintf(m_out, "6. Enrolling five fingers, then identifying two probes among them\n");
    Identify(m_sensors.front());
    std::fprintf(m_out, "7. Unplugging the sensors\n");
    Unplug();
    m_session.Stop();

    Summary();
    std::fprintf(m_out, "\nPictures are in %s\nDone in %.1f s.\n", m_pictures.string().c_str(),
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    const auto failed = std::count_if(m_rows.begin(), m_rows.end(),
                                      [](const Row& row) { return StepFailed(row.result); });
    if (failed == 0) return cli::kExitOk;
    std::fprintf(m_out, "%td step(s) failed; the log above tells why.\n", failed);
    return cli::ExitFromResult(KVT_RESULT_FAILED);
}

}  // namespace

int RunDemo(std::FILE* out) {
    const fs::path data = DemoDataFolder();
    if (data.empty()) {
        std::fprintf(stderr, "kvt demo: cannot make a data folder\n");
        return cli::kExitFile;
    }
    PrepareEthernetListener(data);
    const fs::path pictures = data / "pictures";
    std::error_code ec;
    fs::create_directories(pictures, ec);
    std::fprintf(out, "KVTBasic demo on simulated sensors\n");
    std::fprintf(out, "  data folder  %s\n  log          %s\n", data.string().c_str(),
                 (data / "Logfiles" / "KVTDeviceManager.log").string().c_str());
    std::fprintf(out, "  Ethernet     listener %s:%d, echo port %d\n\n",
                 g_ethernet.listenerAddress.c_str(), g_ethernet.port, g_ethernet.echoPort);
    return Demo(out, pictures).Run();
}
