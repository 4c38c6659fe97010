// kvt demo: a walk through the SDK on simulated sensors.
#include "Demo.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kvt/KVTBasic.h"
#include "kvt/KVTSimulator.h"

namespace fs = std::filesystem;

namespace {

// The messages the library delivers, for the steps that wait on them.
class Inbox {
public:
    static void KVT_CALLBACK Callback(KVT_Message* message, void* user) {
        static_cast<Inbox*>(user)->Add(*message);
    }

    struct Entry {
        int type;
        std::string deviceId;
        std::string additionalInfo;
        std::vector<unsigned char> image;
        int lfdLevel;
    };

    // The next message of type for deviceId (any device when empty), waiting up to seconds.
    bool Take(int type, const std::string& deviceId, Entry& out, int seconds = 30) {
        std::unique_lock lock(m_mutex);
        const auto found = [&] {
            for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
                if (it->type == type && (deviceId.empty() || it->deviceId == deviceId)) {
                    out = *it;
                    m_entries.erase(it);
                    return true;
                }
            }
            return false;
        };
        return m_changed.wait_for(lock, std::chrono::seconds(seconds), found);
    }

private:
    void Add(const KVT_Message& message) {
        if (message.type == KVT_MSG_UNSPECIFIED) return;
        Entry entry{message.type,
                    message.deviceId,
                    message.additionalInfo,
                    {},
                    message.capturedData.LFDLevel};
        if (message.capturedData.image != nullptr)
            entry.image.assign(message.capturedData.image,
                               message.capturedData.image + message.capturedData.imageSize);
        std::lock_guard lock(m_mutex);
        m_entries.push_back(std::move(entry));
        m_changed.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Entry> m_entries;
};

struct Sensor {
    Sensor(const char* label, int model) : label(label), model(model) {}
    const char* label;
    int model;
    int simId = 0;
    std::string deviceId;
    KVT_DeviceInfo info{};
};

struct Row {
    std::string sensor;
    std::string what;
    std::string result;
    std::string file;
};

bool WriteFile(const fs::path& path, const std::vector<unsigned char>& bytes) {
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

int Capture(const std::string& id, std::vector<unsigned char>& image, int& lfdLevel) {
    image.assign(KVT_CalcImageSize(332, 416), 0);
    KVT_CapturedData data{};
    data.size = sizeof data;
    data.image = image.data();
    data.imageSize = static_cast<unsigned int>(image.size());
    const int result = KVT_CaptureImage(id.c_str(), 0, &data);
    if (result == KVT_RESULT_OK) image.resize(data.imageSize);
    lfdLevel = data.LFDLevel;
    return result;
}

// Captures the finger lying on the sensor and extracts its template.
int Enrol(const std::string& id, KVT_Template& tpl) {
    std::vector<unsigned char> image;
    int lfd = 0;
    int result = Capture(id, image, lfd);
    if (result != KVT_RESULT_OK) return result;
    KVT_CapturedData data{};
    data.size = sizeof data;
    data.image = image.data();
    data.imageSize = static_cast<unsigned int>(image.size());
    tpl = KVT_Template{};
    tpl.size = sizeof tpl;
    return KVT_ExtractTemplate(&data, &tpl);
}

}  // namespace

int RunDemo(std::FILE* out) {
    const auto started = std::chrono::steady_clock::now();
    const char* dataDir = std::getenv("KVT_DATA_DIR");
    const fs::path pictures =
        (dataDir != nullptr ? fs::path(dataDir) : fs::temp_directory_path()) / "kvt-demo-pictures";
    fs::create_directories(pictures);
    std::fprintf(out, "KVTBasic demo on simulated sensors\n");
    std::fprintf(out, "  data folder: %s\n  pictures:    %s\n\n",
                 dataDir != nullptr ? dataDir : "(the library's default)",
                 pictures.string().c_str());

    Inbox inbox;
    int result = KVT_Start(&Inbox::Callback, &inbox);
    if (result != KVT_RESULT_OK) {
        std::fprintf(stderr, "kvt demo: KVT_Start failed (%d)\n", result);
        return -result;
    }

    Sensor sensors[] = {{"U2 (newer USB)", KVTSIM_MODEL_U2}, {"U1 (older USB)", KVTSIM_MODEL_U1}};
    std::fprintf(out, "1. Plugging in two simulated USB sensors...\n");
    for (Sensor& sensor : sensors) {
        KVTSim_AttachUsbSensor(sensor.model, nullptr, &sensor.simId);
        Inbox::Entry arrived;
        if (!inbox.Take(KVT_MSG_NEW_DEVICE, "", arrived)) {
            std::fprintf(stderr, "kvt demo: the %s sensor was not announced\n", sensor.label);
            KVT_Stop();
            return 1;
        }
        sensor.deviceId = arrived.deviceId;
        sensor.info.size = sizeof sensor.info;
        KVT_GetDeviceInformation(sensor.deviceId.c_str(), &sensor.info);
        std::fprintf(out, "   NewDevice: %s  %s, serial %s, firmware %s\n", sensor.label,
                     sensor.info.description, sensor.info.serialNumber,
                     sensor.info.firmwareVersion);
    }

    unsigned int count = 0;
    KVT_GetDeviceList(nullptr, &count);
    std::fprintf(out, "\n2. KVT_GetDeviceList reports %u sensors.\n", count);

    std::vector<Row> rows;
    std::fprintf(out, "\n3. Synchronous captures (a live finger on each sensor)...\n");
    for (Sensor& sensor : sensors) {
        KVTSim_PlaceFinger(sensor.simId, 1, 1, 1);
        for (const char* size : {"ROI", "Full"}) {
            KVT_SetProperty(sensor.deviceId.c_str(), "PictureSize", size);
            std::vector<unsigned char> image;
            int lfd = 0;
            result = Capture(sensor.deviceId, image, lfd);
            const fs::path file =
                pictures / (std::string(sensor.model == KVTSIM_MODEL_U2 ? "u2" : "u1") + "-sync-" +
                            size + ".bmp");
            if (result == KVT_RESULT_OK) WriteFile(file, image);
            rows.push_back({sensor.label, std::string("sync ") + size,
                            result == KVT_RESULT_OK ? std::to_string(image.size()) +
                                                          " bytes, LFD " + std::to_string(lfd)
                                                    : "failed (" + std::to_string(result) + ")",
                            result == KVT_RESULT_OK ? file.string() : ""});
        }
        KVT_SetProperty(sensor.deviceId.c_str(), "PictureSize", "ROI");
        KVTSim_LiftFinger(sensor.simId);
    }

    std::fprintf(out, "4. Live finger detection: a live and a fake finger on the U2...\n");
    for (int live : {1, 0}) {
        KVTSim_PlaceFinger(sensors[0].simId, 2, 1, live);
        std::vector<unsigned char> image;
        int lfd = 0;
        result = Capture(sensors[0].deviceId, image, lfd);
        rows.push_back({sensors[0].label, live ? "LFD, live finger" : "LFD, fake finger",
                        result == KVT_RESULT_OK ? "level " + std::to_string(lfd) + " of 5"
                                                : "failed (" + std::to_string(result) + ")",
                        ""});
        KVTSim_LiftFinger(sensors[0].simId);
    }

    std::fprintf(out, "5. Asynchronous captures: waiting for a finger, then placing one...\n");
    for (Sensor& sensor : sensors) {
        result = KVT_CaptureImage(sensor.deviceId.c_str(), 10, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        KVTSim_PlaceFinger(sensor.simId, 3, 2, 1);
        Inbox::Entry image;
        const bool got =
            result == KVT_RESULT_OK && inbox.Take(KVT_MSG_CAPTURED_IMAGE, sensor.deviceId, image);
        const fs::path file =
            pictures /
            (std::string(sensor.model == KVTSIM_MODEL_U2 ? "u2" : "u1") + "-async-ROI.bmp");
        if (got) WriteFile(file, image.image);
        rows.push_back({sensor.label, "async ROI",
                        got ? std::to_string(image.image.size()) + " bytes, LFD " +
                                  std::to_string(image.lfdLevel)
                            : "no image",
                        got ? file.string() : ""});
        KVTSim_LiftFinger(sensor.simId);
    }

    std::fprintf(out, "6. Cancelling an asynchronous capture...\n");
    {
        KVT_CaptureImage(sensors[0].deviceId.c_str(), 30, nullptr);
        int available = 0;
        result = KVT_CancelAsyncCapture(sensors[0].deviceId.c_str(), &available);
        Inbox::Entry cancelled;
        const bool got = inbox.Take(KVT_MSG_CAPTURE_CANCELLED, sensors[0].deviceId, cancelled);
        rows.push_back({sensors[0].label, "cancel async",
                        got ? "CaptureCancelled by " + cancelled.additionalInfo +
                                  (available ? ", sensor free" : ", sensor busy")
                            : "no message",
                        ""});
    }
    KVT_IndicateResult(sensors[0].deviceId.c_str(), KVT_FEEDBACK_SUCCEEDED);

    std::fprintf(out,
                 "7. Templates: enrolling five fingers on the U2, then identifying a probe...\n");
    {
        KVT_BiometricsInfo algorithm{};
        algorithm.size = sizeof algorithm;
        if (KVT_GetBiometricsInfo(&algorithm) != KVT_RESULT_OK) {
            rows.push_back({"algorithm", "identify", "no algorithm available", ""});
        } else {
            constexpr int kFingers = 5;
            std::vector<KVT_Template> gallery;
            std::vector<int> galleryFinger;
            for (int finger = 1; finger <= kFingers; ++finger) {
                KVTSim_PlaceFinger(sensors[0].simId, 10 + finger, 0, 1);
                KVT_Template tpl;
                // A touch with too few minutiae is not enrolled, as an application would retry.
                if (Enrol(sensors[0].deviceId, tpl) == KVT_RESULT_OK) {
                    gallery.push_back(tpl);
                    galleryFinger.push_back(finger);
                }
                KVTSim_LiftFinger(sensors[0].simId);
            }
            const int probeFinger = galleryFinger.empty() ? 1 : galleryFinger.back();
            KVT_Template probe;
            KVTSim_PlaceFinger(sensors[0].simId, 10 + probeFinger, 4, 1);
            result = Enrol(sensors[0].deviceId, probe);
            KVTSim_LiftFinger(sensors[0].simId);
            KVT_MatchResult match{};
            match.size = sizeof match;
            if (result == KVT_RESULT_OK)
                result = KVT_MatchTemplate(&probe, gallery.data(),
                                           static_cast<unsigned int>(gallery.size()), &match);
            rows.push_back(
                {algorithm.name, "enrol",
                 std::to_string(gallery.size()) + " of " + std::to_string(kFingers) + " fingers",
                 ""});
            rows.push_back({algorithm.name, "identify finger " + std::to_string(probeFinger),
                            result != KVT_RESULT_OK ? "failed (" + std::to_string(result) + ")"
                            : match.success == 0
                                ? "matched finger " + std::to_string(galleryFinger[match.index]) +
                                      ", score " + std::to_string(match.score)
                                : "no match",
                            ""});
        }
    }

    std::fprintf(out, "8. Unplugging the U1...\n");
    KVTSim_Detach(sensors[1].simId);
    Inbox::Entry lost;
    rows.push_back({sensors[1].label, "unplug",
                    inbox.Take(KVT_MSG_LOST_DEVICE, sensors[1].deviceId, lost)
                        ? "LostDevice delivered"
                        : "no message",
                    ""});

    KVT_Stop();

    std::fprintf(out, "\nSummary\n");
    std::fprintf(out, "  %-16s %-18s %-30s %s\n", "SENSOR", "STEP", "RESULT", "PICTURE");
    for (const Row& row : rows) {
        std::fprintf(out, "  %-16s %-18s %-30s %s\n", row.sensor.c_str(), row.what.c_str(),
                     row.result.c_str(), row.file.c_str());
    }
    std::fprintf(out, "\nDone in %.1f s.\n", Seconds(started));
    return 0;
}
