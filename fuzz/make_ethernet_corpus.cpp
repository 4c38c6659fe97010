// Writes the seed corpus of fuzz_ethernet_answers: for each operation that
// can go first and a few capture settings, the replies of a well-behaved
// sensor to every request of the six operations, in the layout of
// EthernetReplay.h. Frames are short; the device does not check their size.
//
//   make_ethernet_corpus <folder>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "ethernet/EthernetProtocol.h"

using namespace ethernet;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint32_t kSerial = 20000001;
constexpr uint32_t kFrameBytes = 96;

Bytes Answer(uint32_t cmdId, const Bytes& body) {
    const auto header = EncodeHeader({cmdId, static_cast<uint32_t>(body.size()), 0, 0});
    Bytes bytes(header.begin(), header.end());
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

Bytes Words(uint32_t first, uint32_t second) {
    Bytes body(8);
    PutU32(body.data(), first);
    PutU32(body.data() + 4, second);
    return body;
}

Bytes Status() {
    return Answer(kGetStatus, Words(kSerial, kDevStatusReady));
}

Bytes Config(uint32_t value) {
    Bytes body(kConfigValueSize);
    PutU32(body.data(), value);
    return Answer(kGetConfiguration, body);
}

Bytes Frame(uint32_t cmdId, uint32_t size) {
    Bytes body(size);
    for (uint32_t i = 0; i < size; ++i) body[i] = static_cast<uint8_t>(i * 7);
    return Answer(cmdId, body);
}

struct Settings {
    const char* name;
    uint8_t bits;  // byte 0 without the first operation
};

class Seed {
public:
    explicit Seed(const Settings& settings) : m_bits(settings.bits) {}

    void Operation(int which) {
        switch (which) {
            case 0:  // Initialize: status with the three address reads, then the firmware
                StatusQuery();
                Firmware();
                break;
            case 1:
                SyncImage();
                break;
            case 2:
                Reply(Answer(kGetLD, Bytes{200, 40, 60, 80, 0, 0, 0, 0}));
                break;
            case 3:
                Reply(Answer(kGetStatus, Words(kSerial, kDevStatusReady)));
                break;
            case 4:  // trigger on, the image the finger triggers, trigger off
            {
                StatusQuery();
                Bytes armed = Answer(kGetStatus, Words(kSerial, kDevStatusReady));
                const Bytes image = Frame(kGetImage, kFrameBytes);
                armed.insert(armed.end(), image.begin(), image.end());
                Reply(armed);
                StatusQuery();
                Reply(Answer(kGetStatus, Words(kSerial, kDevStatusReady)));
                break;
            }
            default:
                if (!m_firmwareKnown) Firmware();
                break;
        }
    }

    Bytes Build(uint8_t first) const {
        Bytes bytes{static_cast<uint8_t>(m_bits | (first << 4))};
        bytes.insert(bytes.end(), m_replies.begin(), m_replies.end());
        return bytes;
    }

private:
    bool Lfd() const { return (m_bits & 4) != 0; }
    bool Fast() const { return (m_bits & 8) != 0; }
    bool Roi() const { return (m_bits & 3) == 0; }

    void Reply(const Bytes& reply) {
        m_replies.push_back(static_cast<uint8_t>(reply.size()));
        m_replies.push_back(static_cast<uint8_t>(reply.size() >> 8));
        m_replies.insert(m_replies.end(), reply.begin(), reply.end());
    }
    void StatusQuery() {
        Reply(Status());
        Reply(Config(43981));       // server port
        Reply(Config(0x0100007F));  // server address 127.0.0.1
        Reply(Config(0x0200007F));  // client address 127.0.0.2
    }
    void Firmware() {
        Reply(Config(0x0703));  // 3.07
        m_firmwareKnown = true;
    }
    void SingleFrame() {
        Reply(Config(210));  // offset x
        Reply(Config(90));   // offset y
        Reply(Frame(kGetImageEx, kFrameBytes));
    }
    void SyncImage() {
        if (Roi() && Lfd()) {
            Reply(Frame(kGetImage, 2 * kFrameBytes));
            return;
        }
        SingleFrame();
        if (!Fast() && Lfd()) SingleFrame();
    }

    uint8_t m_bits;
    bool m_firmwareKnown = false;
    Bytes m_replies;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    const Settings settings[] = {
        {"roi-lfd", 0x04}, {"half-lfd", 0x05}, {"full-fast-lfd", 0x0E}, {"half", 0x01}};
    const char* operations[] = {"init", "sync", "ld", "indicate", "async", "firmware"};
    for (const Settings& setting : settings) {
        for (int first = 0; first < 6; ++first) {
            Seed seed(setting);
            for (int i = 0; i < 6; ++i) seed.Operation((first + i) % 6);
            const std::string path =
                std::string(argv[1]) + "/" + operations[first] + "-first-" + setting.name + ".bin";
            const Bytes bytes = seed.Build(static_cast<uint8_t>(first));
            std::ofstream out(path, std::ios::binary);
            out.write(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<std::streamsize>(bytes.size()));
            if (!out) {
                std::fprintf(stderr, "cannot write %s\n", path.c_str());
                return 1;
            }
        }
    }
    return 0;
}
