// kvt-usb-record: runs the library against the emulated USB sensors and writes
// what umockdev needs to present them to libusb as if they were plugged in:
// device descriptions (.umockdev) and the sensors' traffic as usbmon captures
// (.pcap). The exchanges are those of the tests in this folder, so the
// recordings stay in step with the library and the sensor models.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kvt/KVTBasic.h"
#include "platform/UsbDriver.h"
#include "sim/usb/SimUsbBus.h"
#include "sim/usb/SynthFrameSource.h"
#include "umockdev/TestbedLayout.h"

namespace {

using kvt_umock::TestbedSensor;

constexpr uint32_t kLinkTypeUsbLinuxMmapped = 220;
constexpr uint32_t kSnapLength = 1u << 20;  // above the largest transfer (32 KB chunks)
constexpr uint32_t kTransferBulk = 3;

void Put(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// Writes bulk transfers of one device as a usbmon capture (pcap, link type
// LINKTYPE_USB_LINUX_MMAPPED), the form umockdev replays for libusb: a submit
// record per transfer and, when it finished, a completion record with the
// bytes that moved.
class UsbmonWriter {
public:
    UsbmonWriter(const std::string& path, uint8_t bus, uint8_t address)
        : m_file(path, std::ios::binary | std::ios::trunc), m_bus(bus), m_address(address) {
        std::vector<uint8_t> header;
        Put(header, 0xA1B2C3D4, 4);   // microsecond time stamps; little-endian like the rest
        Put(header, 2 | 4 << 16, 4);  // version 2.4
        Put(header, 0, 8);            // time zone, accuracy
        Put(header, kSnapLength, 4);
        Put(header, kLinkTypeUsbLinuxMmapped, 4);
        Write(header);
    }

    bool IsOpen() const { return m_file.is_open(); }
    // endpoint carries the direction bit (0x80 = IN). data holds what went
    // out (OUT) or came in (IN); moved < 0 records a transfer that never
    // completed, which a replay ends with the caller's time-out.
    void Transfer(uint8_t endpoint, uint32_t length, const uint8_t* data, int64_t moved) {
        const bool in = (endpoint & 0x80) != 0;
        ++m_urbId;
        Record('S', endpoint, length, in ? nullptr : data, in ? 0 : length);
        if (moved < 0) return;
        const auto count = static_cast<uint32_t>(moved);
        Record('C', endpoint, count, in ? data : nullptr, in ? count : 0);
    }
    // False when a write failed.
    bool Close() {
        m_file.close();
        return !m_file.fail();
    }

private:
    void Record(char event, uint8_t endpoint, uint32_t urbLength, const uint8_t* data,
                uint32_t dataLength) {
        // Without data the kernel writes '<' (IN) or '>' (OUT) as the data flag.
        const uint32_t dataFlag = dataLength > 0 ? 0 : (endpoint & 0x80) != 0 ? '<' : '>';
        const uint64_t seconds = m_microseconds / 1000000;
        const uint64_t micros = m_microseconds % 1000000;
        m_microseconds += 1000;

        // The pcap record header, then the binary usbmon header with the
        // isochronous fields (64 bytes) and the data.
        const uint64_t captured = 64 + dataLength;
        std::vector<uint8_t> record;
        Put(record, seconds, 4);
        Put(record, micros, 4);
        Put(record, captured | captured << 32, 8);  // captured and original length
        Put(record, m_urbId, 8);
        Put(record,
            static_cast<uint8_t>(event) | kTransferBulk << 8 | endpoint << 16 |
                uint32_t{m_address} << 24,
            4);
        Put(record, m_bus | uint32_t{'-'} << 16 | dataFlag << 24, 4);  // no setup packet
        Put(record, seconds, 8);
        Put(record, micros, 4);
        Put(record, static_cast<uint32_t>(event == 'S' ? -EINPROGRESS : 0), 4);
        Put(record, urbLength, 4);
        Put(record, dataLength, 4);
        // Setup bytes, interval, start frame, transfer flags, isochronous descriptors.
        record.resize(record.size() + 24, 0);
        if (dataLength > 0) record.insert(record.end(), data, data + dataLength);
        Write(record);
    }
    void Write(const std::vector<uint8_t>& bytes) {
        m_file.write(reinterpret_cast<const char*>(bytes.data()),
                     static_cast<std::streamsize>(bytes.size()));
    }

    std::ofstream m_file;
    uint8_t m_bus;
    uint8_t m_address;
    uint64_t m_urbId = 0;
    uint64_t m_microseconds = 0;  // a made-up clock: one step per record
};

// A sensor's handle that records each transfer on the pipes' endpoints.
class RecordingHandle final : public platform::UsbDriverHandle {
public:
    RecordingHandle(std::unique_ptr<platform::UsbDriverHandle> inner,
                    std::shared_ptr<UsbmonWriter> writer)
        : m_inner(std::move(inner)), m_writer(std::move(writer)) {}

    bool Write(const uint8_t* data, uint32_t length, uint32_t& transferred) override {
        const bool done = m_inner->Write(data, length, transferred);
        m_writer->Transfer(kvt_umock::kBulkOut, length, data, done ? int64_t{transferred} : -1);
        return done;
    }
    bool Read(uint8_t* data, uint32_t length, uint32_t& transferred) override {
        const bool done = m_inner->Read(data, length, transferred);
        m_writer->Transfer(kvt_umock::kBulkIn, length, data, done ? int64_t{transferred} : -1);
        return done;
    }
    // libusb answers this from the description, without traffic.
    bool ReadDescriptor(uint8_t* descriptor, uint32_t capacity, uint32_t& transferred) override {
        return m_inner->ReadDescriptor(descriptor, capacity, transferred);
    }
    void Close() override { m_inner->Close(); }
    bool IsOpen() const override { return m_inner->IsOpen(); }
    uintptr_t LogValue() const override { return m_inner->LogValue(); }

private:
    std::unique_ptr<platform::UsbDriverHandle> m_inner;
    std::shared_ptr<UsbmonWriter> m_writer;
};

// The emulated sensors, with every transfer of a sensor that has a writer
// recorded.
class RecordingBus final : public platform::UsbBus {
public:
    sim::SimUsbBus& Sensors() { return m_sensors; }
    void RecordInto(int simId, std::shared_ptr<UsbmonWriter> writer) {
        std::lock_guard lock(m_mutex);
        m_writers[m_sensors.PathOf(simId)] = std::move(writer);
    }
    void StopRecording() {
        std::lock_guard lock(m_mutex);
        m_writers.clear();
    }

    const char* Name() const override { return "recording"; }
    std::vector<std::string> PresentPaths() override { return m_sensors.PresentPaths(); }
    std::unique_ptr<platform::UsbDriverHandle> Open(const std::string& path, int& error) override {
        auto handle = m_sensors.Open(path, error);
        std::lock_guard lock(m_mutex);
        const auto writer = m_writers.find(path);
        if (!handle || writer == m_writers.end()) return handle;
        return std::make_unique<RecordingHandle>(std::move(handle), writer->second);
    }
    void Watch(platform::UsbBusListener* listener) override { m_sensors.Watch(listener); }
    void Unwatch() override { m_sensors.Unwatch(); }

private:
    sim::SimUsbBus m_sensors;
    std::mutex m_mutex;
    std::map<std::string, std::shared_ptr<UsbmonWriter>> m_writers;
};

void KVT_CALLBACK IgnoreMessage(KVT_Message*, void*) {}

// A device as umockdev-record describes it: what libusb reads from sysfs and
// the udev properties its hot-plug monitor filters on. The descriptors are the
// device descriptor, then the configuration; the strings may be empty.
std::string Describe(const std::string& sysfsPath, uint8_t bus, uint8_t address,
                     const std::vector<uint8_t>& d, const std::string& product,
                     const std::string& serial) {
    const std::string node = kvt_umock::NodeName(bus, address);
    char fields[512];
    // usb_device nodes: major 189, minor (bus - 1) * 128 + address - 1.
    std::snprintf(fields, sizeof fields,
                  "P: %s\nN: %s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=/dev/%s\n"
                  "E: BUSNUM=%03u\nE: DEVNUM=%03u\nA: busnum=%u\nA: devnum=%u\nA: dev=189:%d\n"
                  "A: speed=480\nA: bConfigurationValue=1\nA: bNumConfigurations=1\n"
                  "A: idVendor=%02x%02x\nA: idProduct=%02x%02x\nA: bcdDevice=%02x%02x\n",
                  sysfsPath.c_str() + 4, node.c_str(), node.c_str(), bus, address, bus, address,
                  (bus - 1) * 128 + address - 1, d[9], d[8], d[11], d[10], d[13], d[12]);
    std::string text = fields;
    if (!product.empty()) text += "A: product=" + product + "\n";
    if (!serial.empty()) text += "A: serial=" + serial + "\n";
    text += "H: descriptors=";
    for (uint8_t byte : d) {
        text += "0123456789ABCDEF"[byte >> 4];
        text += "0123456789ABCDEF"[byte & 15];
    }
    return text + "\n";
}

std::vector<uint8_t> SensorDescriptors(sim::EmulatedSensor& sensor) {
    std::vector<uint8_t> bytes(platform::UsbDriverHandle::kDescriptorSize);
    uint32_t read = 0;
    sensor.HostReadDescriptor(bytes.data(), static_cast<uint32_t>(bytes.size()), read);
    bytes.resize(read);
    // One configuration with one interface and the two bulk pipes, at high speed.
    // clang-format off
    const uint8_t configuration[] = {
        9, 2, 32, 0, 1, 1, 0, 0x80, 50,               // configuration 1, 100 mA
        9, 4, 0, 0, 2, 0xFF, 0, 0, 0,                 // interface 0, vendor-specific
        7, 5, kvt_umock::kBulkOut, 2, 0x00, 0x02, 0,  // pipe 0: bulk OUT, 512 bytes
        7, 5, kvt_umock::kBulkIn, 2, 0x00, 0x02, 0,   // pipe 1: bulk IN, 512 bytes
    };
    // clang-format on
    bytes.insert(bytes.end(), std::begin(configuration), std::end(configuration));
    return bytes;
}

// A hub's descriptors; its vendor, product and release ids little-endian.
std::vector<uint8_t> HubDescriptors(std::initializer_list<uint8_t> ids) {
    // USB 2.00, hub class, 64-byte control packets, the ids, no strings, one configuration.
    std::vector<uint8_t> bytes = {18, 1, 0x00, 0x02, 9, 0, 1, 64};
    bytes.insert(bytes.end(), ids);
    // clang-format off
    bytes.insert(bytes.end(), {0, 0, 0, 1,
                               9, 2, 25, 0, 1, 1, 0, 0xE0, 0,  // configuration, self-powered
                               9, 4, 0, 0, 1, 9, 0, 0, 0,      // hub interface
                               7, 5, 0x81, 3, 1, 0, 12});      // status change endpoint
    // clang-format on
    return bytes;
}

std::string HubsDescription() {
    const std::string root = "/sys/devices/pci0000:00/0000:00:14.0/usb1";
    return Describe(root, 1, 1, HubDescriptors({0x6B, 0x1D, 0x02, 0x00, 0x06, 0x06}),
                    "xHCI Host Controller", "") +
           "\n" +
           Describe(root + "/1-2", 1, 3, HubDescriptors({0xE3, 0x05, 0x08, 0x06, 0x60, 0x88}),
                    "USB2.0 Hub", "");
}

bool WriteText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

bool Fail(const std::string& what) {
    std::fprintf(stderr, "kvt-usb-record: %s\n", what.c_str());
    return false;
}

int Attach(RecordingBus& bus, const TestbedSensor& spec) {
    sim::SimUsbBus& sensors = bus.Sensors();
    const int simId =
        sensors.Attach(spec.u2 ? sim::SensorModel::kU2 : sim::SensorModel::kU1, spec.serial);
    sensors.Sensor(simId)->PlaceFinger({spec.fingerId, spec.impression, true});
    return simId;
}

int CaptureNow(const std::string& id) {
    std::vector<unsigned char> image(KVT_CalcImageSize(332, 416));
    KVT_CapturedData data{};
    data.size = sizeof data;
    data.image = image.data();
    data.imageSize = static_cast<unsigned>(image.size());
    return KVT_CaptureImage(id.c_str(), 0, &data);
}

// What the application does with each sensor once it is announced; false
// when the sensor does not behave as the exchange expects.
using Exchange = std::function<bool(const std::string& id, sim::EmulatedSensor& sensor)>;

// The sensors present at start, announced, put through the exchange one after
// the other, and closed when the library stops.
bool Record(RecordingBus& bus, const std::filesystem::path& out,
            std::initializer_list<const TestbedSensor*> specs, const char* exchangeName,
            const Exchange& exchange) {
    std::vector<std::pair<int, std::shared_ptr<UsbmonWriter>>> recorded;
    for (const TestbedSensor* spec : specs) {
        const int simId = Attach(bus, *spec);
        auto writer = std::make_shared<UsbmonWriter>(
            (out / kvt_umock::Recording(*spec, exchangeName)).string(), spec->bus, spec->address);
        if (!writer->IsOpen()) return Fail("cannot write a recording");
        bus.RecordInto(simId, writer);
        recorded.emplace_back(simId, writer);
    }
    if (KVT_Start(IgnoreMessage, nullptr) != KVT_RESULT_OK) return Fail("KVT_Start failed");
    bool behaved = true;
    for (const auto& [simId, writer] : recorded) {
        const std::string id = kvt_umock::WaitForDeviceId(bus.Sensors().PathOf(simId));
        behaved = behaved && !id.empty() && exchange(id, *bus.Sensors().Sensor(simId));
    }
    KVT_Stop();
    bus.StopRecording();
    bus.Sensors().DetachAll();
    if (!behaved) return Fail("exchange '" + std::string(exchangeName) + "' went wrong");
    for (const auto& [simId, writer] : recorded)
        if (!writer->Close()) return Fail("cannot write a recording");
    return true;
}

bool RecordAll(RecordingBus& bus, const std::filesystem::path& out) {
    return Record(bus, out, {&kvt_umock::kU2}, kvt_umock::kAnnounced,
                  [](const std::string&, sim::EmulatedSensor&) { return true; }) &&
           Record(bus, out, {&kvt_umock::kU1, &kvt_umock::kU2}, kvt_umock::kCaptured,
                  [](const std::string& id, sim::EmulatedSensor&) {
                      return CaptureNow(id) == KVT_RESULT_OK;
                  }) &&
           Record(bus, out, {&kvt_umock::kU2}, kvt_umock::kStalled,
                  [](const std::string& id, sim::EmulatedSensor& sensor) {
                      sensor.InjectFault(sim::Fault::kNoAnswer);
                      return CaptureNow(id) != KVT_RESULT_OK;
                  });
}

bool WriteDescriptions(RecordingBus& bus, const std::filesystem::path& out) {
    if (!WriteText(out / kvt_umock::kHubsDescription, HubsDescription()))
        return Fail("cannot write the hubs' description");
    for (const TestbedSensor* spec : {&kvt_umock::kU1, &kvt_umock::kU2}) {
        const int simId = Attach(bus, *spec);
        const std::string text =
            Describe(kvt_umock::SysfsPath(*spec), spec->bus, spec->address,
                     SensorDescriptors(*bus.Sensors().Sensor(simId)),
                     spec->u2 ? "Kelo U2 USB" : "Kelo U1 USB", std::to_string(spec->serial));
        bus.Sensors().Detach(simId);
        if (!WriteText(out / (std::string(spec->name) + ".umockdev"), text))
            return Fail("cannot write a device description");
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || std::strcmp(argv[1], "--help") == 0) {
        std::fprintf(stderr, "Usage: kvt-usb-record FOLDER (writes the libusb tests' test bed)\n");
        return argc == 2 ? 0 : 64;
    }
    const std::filesystem::path out = argv[1];
    std::error_code error;
    const std::filesystem::path data = out / "data";
    std::filesystem::remove_all(data, error);
    std::filesystem::create_directories(data, error);
    if (error || !WriteText(data / "KVTDeviceManager.ini", kvt_umock::kDeviceManagerIni)) {
        Fail("cannot create the output folder");
        return 1;
    }
    setenv("KVT_DATA_DIR", data.c_str(), 1);
    setenv("KVT_LOG_CONSOLE", "0", 1);
    unsetenv("KVT_SIMULATED_SENSORS");

    sim::SetFrameSource(std::make_shared<sim::SynthFrameSource>());
    static RecordingBus bus;  // buses stay registered until the process ends
    platform::AddUsbBus(&bus);
    const bool done = WriteDescriptions(bus, out) && RecordAll(bus, out);
    std::filesystem::remove_all(data, error);
    return done ? 0 : 1;
}
