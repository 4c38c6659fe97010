// kvt list, info, capture and monitor: the sensors.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Commands.h"
#include "Files.h"
#include "GreyImage.h"
#include "Output.h"
#include "Session.h"
#include "kvt/KVTSimulator.h"

namespace fs = std::filesystem;
using cli::Args;
using cli::Reporter;

namespace {

constexpr const char* kSimulatedNote =
    "With KVT_SIMULATED_SENSORS set (for example u2,u1) the library plugs in\n"
    "simulated USB sensors when it starts, so this works without hardware.";

const char* const kProperties[] = {"ImageMode", "LFD", "FastMode", "PictureSize", "Inverted"};

std::string Property(const KVT_DeviceInfo& device, const char* key) {
    char value[64] = {};
    KVT_GetProperty(device.deviceId, key, value, sizeof value);
    return value;
}

// index < 0: a sensor outside a list.
JsonObject DeviceJson(const KVT_DeviceInfo& d, int index = -1) {
    JsonObject json;
    if (index >= 0) json.Number("index", index);
    json.Text("deviceId", d.deviceId)
        .Text("description", d.description)
        .Text("deviceType", DeviceTypeName(d.deviceType))
        .Text("connection", ConnectionName(d.connectionType))
        .Text("serialNumber", d.serialNumber)
        .Text("firmwareVersion", d.firmwareVersion);
    return json;
}

int RunList(const Args&, const Reporter& report) {
    Session session;
    if (const int result = session.Start(); result != KVT_RESULT_OK)
        return report.LibraryFail("KVT_Start", result);
    session.WaitForSensors();
    std::vector<KVT_DeviceInfo> devices;
    const int result = session.Devices(devices);
    session.Stop();
    if (result != KVT_RESULT_OK) return report.LibraryFail("KVT_GetDeviceList", result);

    std::FILE* out = report.Out();
    if (report.Json()) {
        std::vector<std::string> items;
        for (size_t i = 0; i < devices.size(); ++i)
            items.push_back(DeviceJson(devices[i], static_cast<int>(i)).Str());
        std::fprintf(out, "%s\n", JsonObject().Raw("sensors", JsonArray(items)).Str().c_str());
        return cli::kExitOk;
    }
    if (devices.empty()) {
        std::fprintf(out, "No sensors connected.\n");
        return cli::kExitOk;
    }
    Table table({"#", "MODEL", "CONNECTION", "SERIAL", "FIRMWARE", "DEVICE ID"});
    for (size_t i = 0; i < devices.size(); ++i) {
        const KVT_DeviceInfo& d = devices[i];
        table.Add({std::to_string(i), d.description, ConnectionName(d.connectionType),
                   d.serialNumber, d.firmwareVersion, d.deviceId});
    }
    table.Print(out);
    std::fprintf(out, "%zu sensor%s\n", devices.size(), devices.size() == 1 ? "" : "s");
    return cli::kExitOk;
}

struct ConfigFile {
    const char* role;
    fs::path path;
};

int RunInfo(const Args&, const Reporter& report) {
    Session session;
    if (const int result = session.Start(); result != KVT_RESULT_OK)
        return report.LibraryFail("KVT_Start", result);
    session.WaitForSensors();

    char version[32] = {};
    KVT_GetVersion(version, sizeof version);
    KVT_BiometricsInfo bio{};
    bio.size = sizeof bio;
    const int bioResult = KVT_GetBiometricsInfo(&bio);
    std::vector<KVT_DeviceInfo> devices;
    session.Devices(devices);
    std::vector<std::vector<std::string>> properties;
    for (const KVT_DeviceInfo& d : devices) {
        properties.emplace_back();
        for (const char* key : kProperties) properties.back().push_back(Property(d, key));
    }
    session.Stop();

    const fs::path data = DataFolder();
    const ConfigFile files[] = {
        {"Device manager settings", data / "KVTDeviceManager.ini"},
        {"Algorithm settings", data / "KVTBiometricsManager.ini"},
        {"Log (default LogFileName)", data / "Logfiles" / "KVTDeviceManager.log"},
    };
    std::error_code ec;
    std::FILE* out = report.Out();
    if (report.Json()) {
        std::vector<std::string> fileItems;
        for (const ConfigFile& f : files)
            fileItems.push_back(JsonObject()
                                    .Text("role", f.role)
                                    .Text("path", f.path.string())
                                    .Bool("present", fs::exists(f.path, ec))
                                    .Str());
        JsonObject algorithm;
        if (bioResult == KVT_RESULT_OK) {
            algorithm.Text("name", bio.name)
                .Text("version", bio.version)
                .Text("info", bio.info)
                .Number("type", bio.type)
                .Number("subType", bio.subType)
                .Number("capabilities", bio.capabilities);
        }
        std::vector<std::string> sensorItems;
        for (size_t i = 0; i < devices.size(); ++i) {
            JsonObject props;
            for (size_t k = 0; k < std::size(kProperties); ++k)
                props.Text(kProperties[k], properties[i][k]);
            sensorItems.push_back(
                DeviceJson(devices[i], static_cast<int>(i)).Raw("properties", props.Str()).Str());
        }
        JsonObject info;
        info.Text("version", version).Text("dataFolder", data.string());
        info.Raw("files", JsonArray(fileItems));
        if (bioResult == KVT_RESULT_OK) {
            info.Raw("algorithm", algorithm.Str());
        } else {
            info.Null("algorithm");
        }
        info.Raw("sensors", JsonArray(sensorItems));
        std::fprintf(out, "%s\n", info.Str().c_str());
        return cli::kExitOk;
    }

    Table general;
    general.Add({"Library", std::string("KVTBasic ") + version});
    general.Add({"Data folder", data.string()});
    for (const ConfigFile& f : files)
        general.Add({f.role, f.path.string() + (fs::exists(f.path, ec) ? "" : "  (not present)")});
    if (bioResult == KVT_RESULT_OK) {
        general.Add({"Algorithm", std::string(bio.name) + " " + bio.version + ", template type " +
                                      std::to_string(bio.type) + "/" +
                                      std::to_string(bio.subType)});
        general.Add({"", bio.info});
    } else {
        general.Add({"Algorithm", cli::ResultText(bioResult)});
    }
    general.Print(out);
    std::fprintf(out, "\n%zu sensor%s\n", devices.size(), devices.size() == 1 ? "" : "s");
    for (size_t i = 0; i < devices.size(); ++i) {
        const KVT_DeviceInfo& d = devices[i];
        std::fprintf(out, "\n[%zu] %s\n", i, d.description);
        Table sensor;
        sensor.Add({"Device id", d.deviceId});
        sensor.Add({"Serial number", d.serialNumber});
        sensor.Add({"Firmware", d.firmwareVersion});
        sensor.Add({"Connection", ConnectionName(d.connectionType)});
        sensor.Add({"Device type", DeviceTypeName(d.deviceType)});
        for (size_t k = 0; k < std::size(kProperties); ++k)
            sensor.Add({kProperties[k], properties[i][k]});
        sensor.Print(out, 2);
    }
    return cli::kExitOk;
}

struct CaptureRequest {
    std::string device;
    bool async = false;
    int timeout = 10;
    std::string size = "ROI";
    std::string bmpPath;
    std::string pngPath;
    std::string simulate;
    int finger = 1;
    int impression = 0;
};

// Checks the command line before the library starts, so a typo costs nothing.
bool ReadCaptureRequest(const Args& args, CaptureRequest& request, std::string& error) {
    request.device = args.Value("--device");
    request.async = args.Has("--async");
    if (args.Has("--timeout")) {
        if (!request.async) {
            error = "--timeout needs --async";
            return false;
        }
        if (!cli::ParseInt(args.Value("--timeout"), 1, 3600, request.timeout)) {
            error = "--timeout takes whole seconds from 1 to 3600";
            return false;
        }
    }
    const std::string size = args.Value("--size", "roi");
    if (size == "roi" || size == "ROI") {
        request.size = "ROI";
    } else if (size == "half" || size == "Half") {
        request.size = "Half";
    } else if (size == "full" || size == "Full") {
        request.size = "Full";
    } else {
        error = "--size takes roi, half or full";
        return false;
    }
    request.bmpPath = args.Value("--out", "kvt-capture.bmp");
    request.pngPath = args.Value("--png");
    if (!request.pngPath.empty() && !PngSupported()) {
        error = "this kvt was built without libpng, so --png is not available";
        return false;
    }
    request.simulate = args.Value("--simulate");
    if (args.Has("--simulate") && request.simulate != "u1" && request.simulate != "u2") {
        error = "--simulate takes u1 or u2";
        return false;
    }
    if (request.simulate.empty() && (args.Has("--finger") || args.Has("--fake"))) {
        error = "--finger and --fake need --simulate";
        return false;
    }
    if (args.Has("--finger")) {
        const std::string finger = args.Value("--finger");
        const size_t colon = finger.find(':');
        if (!cli::ParseInt(finger.substr(0, colon), 0, 1000000, request.finger) ||
            (colon != std::string::npos &&
             !cli::ParseInt(finger.substr(colon + 1), 0, 1000000, request.impression))) {
            error = "--finger takes FINGER or FINGER:IMPRESSION (whole numbers)";
            return false;
        }
    }
    if (!request.simulate.empty() && args.Has("--device")) {
        error = "--device and --simulate exclude each other";
        return false;
    }
    return true;
}

// Waits for the outcome of an asynchronous capture; Ctrl-C cancels it.
// touch, when given, puts a finger on the sensor once the capture waits.
int CaptureAsync(Session& session, const std::string& id, int timeout,
                 const std::function<void()>& touch, Captured& captured, const Reporter& report) {
    InterruptGuard interrupt;
    if (const int result = KVT_CaptureImage(id.c_str(), timeout, nullptr); result != KVT_RESULT_OK)
        return report.LibraryFail("KVT_CaptureImage", result);
    if (!report.Json())
        std::fprintf(stderr, "Waiting up to %d s for a finger (Ctrl-C cancels)...\n", timeout);
    if (touch) {
        // A sensor sees a finger arrive, not one that lay there all along.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        touch();
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(timeout) + std::chrono::seconds(5);
    Delivered outcome;
    const std::vector<int> ends = {KVT_MSG_CAPTURED_IMAGE, KVT_MSG_TIMEOUT,
                                   KVT_MSG_CAPTURE_CANCELLED, KVT_MSG_LOST_DEVICE};
    bool cancelled = false;
    while (!session.Messages().TakeAny(ends, id, outcome, std::chrono::milliseconds(100))) {
        if (!cancelled &&
            (InterruptGuard::Interrupted() || std::chrono::steady_clock::now() > deadline)) {
            int available = 0;
            KVT_CancelAsyncCapture(id.c_str(), &available);
            cancelled = true;
        } else if (cancelled &&
                   std::chrono::steady_clock::now() > deadline + std::chrono::seconds(5)) {
            return report.Fail(cli::kExitNoImage, "the capture did not end");
        }
    }
    switch (outcome.type) {
        case KVT_MSG_CAPTURED_IMAGE:
            captured.image = std::move(outcome.image);
            captured.lfdLevel = outcome.lfdLevel;
            captured.lfdData = outcome.lfdData;
            captured.properties = outcome.properties;
            return cli::kExitOk;
        case KVT_MSG_TIMEOUT:
            return report.Fail(cli::kExitNoImage,
                               "no finger within " + std::to_string(timeout) + " s");
        case KVT_MSG_CAPTURE_CANCELLED:
            return report.Fail(cli::kExitNoImage, "the capture was cancelled");
        default:
            return report.Fail(cli::kExitNoSensor, "the sensor was unplugged");
    }
}

std::string LfdText(int level, const Args& args) {
    if (args.Has("--no-lfd")) return "not checked (--no-lfd)";
    if (args.Has("--fast")) return "not checked in fast mode";
    return std::to_string(level) + " of 5" +
           (level >= 4   ? " (live)"
            : level <= 1 ? " (fake?)"
                         : "");
}

int RunCapture(const Args& args, const Reporter& report) {
    CaptureRequest request;
    std::string error;
    if (!ReadCaptureRequest(args, request, error)) return report.Fail(cli::kExitUsage, error);

    Session session;
    if (const int result = session.Start(); result != KVT_RESULT_OK)
        return report.LibraryFail("KVT_Start", result);
    session.WaitForSensors();
    KVT_DeviceInfo device{};
    std::function<void()> touch;
    if (!request.simulate.empty()) {
        int simId = 0;
        if (!session.AttachSimulated(request.simulate, simId, device, error))
            return report.Fail(cli::kExitNoSensor, error);
        touch = [simId, &request, live = !args.Has("--fake")] {
            KVTSim_PlaceFinger(simId, request.finger, request.impression, live ? 1 : 0);
        };
    } else if (!session.FindDevice(request.device, device, error)) {
        return report.Fail(cli::kExitNoSensor, error);
    }

    const std::string id = device.deviceId;
    const std::pair<const char*, std::string> settings[] = {
        {"ImageMode", args.Has("--photo") ? "Photo" : "Stamp"},
        {"LFD", args.Has("--no-lfd") ? "false" : "true"},
        {"FastMode", args.Has("--fast") ? "true" : "false"},
        {"PictureSize", request.size},
        {"Inverted", args.Has("--invert") ? "true" : "false"},
    };
    for (const auto& [key, value] : settings) {
        if (const int result = KVT_SetProperty(id.c_str(), key, value.c_str());
            result != KVT_RESULT_OK)
            return report.LibraryFail("KVT_SetProperty", result);
    }

    Captured captured;
    if (request.async) {
        if (const int exit = CaptureAsync(session, id, request.timeout, touch, captured, report);
            exit != cli::kExitOk)
            return exit;
    } else {
        if (touch) touch();
        if (const int result = CaptureSync(id, captured); result != KVT_RESULT_OK)
            return report.LibraryFail("KVT_CaptureImage", result);
    }
    session.Stop();

    if (!WriteFile(request.bmpPath, captured.image, error))
        return report.Fail(cli::kExitFile, error);
    if (!request.pngPath.empty() && !WriteBmpAsPng(captured.image, request.pngPath, error))
        return report.Fail(cli::kExitFile, error);

    int width = 0;
    int height = 0;
    BmpSize(captured.image, width, height);
    std::FILE* out = report.Out();
    if (report.Json()) {
        JsonObject result;
        result.Raw("sensor", DeviceJson(device).Str())
            .Text("mode", request.async ? "async" : "sync")
            .Number("width", width)
            .Number("height", height)
            .Number("bytes", static_cast<long long>(captured.image.size()))
            .Number("lfdLevel", captured.lfdLevel)
            .Text("lfdData", captured.lfdData)
            .Text("properties", captured.properties)
            .Text("bmp", request.bmpPath);
        if (request.pngPath.empty()) {
            result.Null("png");
        } else {
            result.Text("png", request.pngPath);
        }
        std::fprintf(out, "%s\n", result.Str().c_str());
        return cli::kExitOk;
    }
    std::fprintf(out, "Captured from %s, serial %s (%s)\n", device.description, device.serialNumber,
                 request.async ? "asynchronous" : "synchronous");
    Table table;
    table.Add({"Picture", std::to_string(width) + " x " + std::to_string(height) + ", " +
                              std::to_string(captured.image.size()) + " bytes"});
    table.Add({"LFD level", LfdText(captured.lfdLevel, args)});
    if (!captured.lfdData.empty()) table.Add({"LFD data", captured.lfdData});
    table.Add({"Properties", captured.properties});
    table.Add({"BMP", request.bmpPath});
    if (!request.pngPath.empty()) table.Add({"PNG", request.pngPath});
    table.Print(out, 2);
    return cli::kExitOk;
}

std::string Timestamp() {
    const std::time_t now = std::time(nullptr);
    char text[16] = {};
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

void PrintEvent(const Delivered& m, const Reporter& report) {
    std::FILE* out = report.Out();
    if (report.Json()) {
        JsonObject event;
        event.Text("time", Timestamp())
            .Text("event", MessageName(m.type))
            .Number("type", m.type)
            .Text("deviceId", m.deviceId)
            .Text("info", m.additionalInfo);
        if (m.type == KVT_MSG_CAPTURED_IMAGE)
            event.Number("bytes", static_cast<long long>(m.image.size()))
                .Number("lfdLevel", m.lfdLevel);
        std::fprintf(out, "%s\n", event.Str().c_str());
    } else {
        std::string line = Timestamp() + "  " + MessageName(m.type);
        line.resize(std::max<size_t>(line.size(), 28), ' ');
        line += m.deviceId;
        if (m.type == KVT_MSG_NEW_DEVICE) {
            KVT_DeviceInfo info{};
            info.size = sizeof info;
            if (KVT_GetDeviceInformation(m.deviceId.c_str(), &info) == KVT_RESULT_OK)
                line += std::string("  ") + info.description + ", serial " + info.serialNumber;
        }
        if (!m.additionalInfo.empty()) line += "  " + m.additionalInfo;
        std::fprintf(out, "%s\n", line.c_str());
    }
    std::fflush(out);
}

int RunMonitor(const Args& args, const Reporter& report) {
    int seconds = 0;
    if (args.Has("--seconds") && !cli::ParseInt(args.Value("--seconds"), 1, 86400, seconds))
        return report.Fail(cli::kExitUsage, "--seconds takes whole seconds from 1 to 86400");

    InterruptGuard interrupt;
    Session session;
    if (const int result = session.Start(); result != KVT_RESULT_OK)
        return report.LibraryFail("KVT_Start", result);
    if (!report.Json())
        std::fprintf(stderr, "Watching for sensor events%s (Ctrl-C stops)...\n",
                     seconds > 0 ? (" for " + std::to_string(seconds) + " s").c_str() : "");
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    Delivered message;
    while (!InterruptGuard::Interrupted() &&
           (seconds == 0 || std::chrono::steady_clock::now() < end)) {
        if (session.Messages().Next(message, std::chrono::milliseconds(100)))
            PrintEvent(message, report);
    }
    const int result = session.Stop();
    // What the library said while stopping.
    while (session.Messages().Next(message, std::chrono::milliseconds(0)))
        PrintEvent(message, report);
    return result == KVT_RESULT_OK ? cli::kExitOk : report.LibraryFail("KVT_Stop", result);
}

}  // namespace

std::vector<cli::Command> DeviceCommands() {
    using cli::OptionSpec;
    return {
        {"list",
         "[options]",
         "List the connected sensors.",
         kSimulatedNote,
         {},
         0,
         0,
         true,
         RunList},
        {"info",
         "[options]",
         "Describe the library, its settings, the algorithm and the sensors.",
         "Shows the library version, its data folder and settings files, the fingerprint\n"
         "algorithm and every connected sensor with its capture properties.\n\n"
         "With KVT_SIMULATED_SENSORS set (for example u2,u1) the library plugs in\n"
         "simulated USB sensors when it starts, so this works without hardware.",
         {},
         0,
         0,
         true,
         RunInfo},
        {"capture",
         "[options]",
         "Capture a fingerprint picture and write it as BMP (and PNG on request).",
         "The first sensor of kvt list is used unless --device names another. The\n"
         "LFD level grades live finger detection from 0 (no sign of a live finger) to 5.\n"
         "Sensors from KVT_SIMULATED_SENSORS have no finger on them; --simulate plugs in\n"
         "a simulated sensor of kvt's own with a synthetic finger placed on it.",
         {
             OptionSpec{"--device", "ID|INDEX",
                        "sensor by device id, serial number or list position"},
             OptionSpec{"--async", nullptr, "wait for a finger, through the library's callback"},
             OptionSpec{"--timeout", "S", "seconds to wait for a finger with --async (10)"},
             OptionSpec{"--size", "roi|half|full", "picture size (roi)"},
             OptionSpec{"--photo", nullptr, "image mode Photo (mirrored) instead of Stamp"},
             OptionSpec{"--invert", nullptr, "inverted grey levels"},
             OptionSpec{"--fast", nullptr, "fast mode: one frame, no LFD"},
             OptionSpec{"--no-lfd", nullptr, "skip live finger detection"},
             OptionSpec{"--out", "FILE.bmp", "where to write the BMP (kvt-capture.bmp)"},
             OptionSpec{"--png", "FILE.png", "also write the picture as PNG"},
             OptionSpec{"--simulate", "u1|u2", "capture from a simulated sensor plugged in now"},
             OptionSpec{"--finger", "F[:I]", "the simulated finger and impression (1:0)"},
             OptionSpec{"--fake", nullptr, "place an imitation instead of a live finger"},
         },
         0,
         0,
         true,
         RunCapture},
        {"monitor",
         "[options]",
         "Print the library's events as they arrive, until Ctrl-C.",
         "Shows sensors plugged in and out, finished captures and the library going\n"
         "offline (Unspecified: 30 s without events, or the library stopping).\n"
         "With --json every event is one JSON object on a line of its own.\n"
         "KVT_SIMULATED_SENSORS=u2,u1 shows the simulated sensors arriving.",
         {OptionSpec{"--seconds", "S", "stop by itself after S seconds"}},
         0,
         0,
         true,
         RunMonitor},
    };
}
