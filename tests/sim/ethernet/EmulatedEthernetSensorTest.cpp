// The Ethernet sensor emulator over real loopback TCP, driven by a scripted
// library-side peer.
#include "sim/ethernet/EmulatedEthernetSensor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <tuple>
#include <vector>

#include "ethernet/EthernetProtocol.h"
#include "ethernet/SocketEndpoint.h"
#include "platform/Sockets.h"
#include "support/PatternFrames.h"
#include "support/Wait.h"

using namespace ethernet;
using platform::SocketAddress;
using platform::SocketHandle;
using sim::EmulatedEthernetSensor;
using sim::EthernetFault;
using sim::EthernetSensorConfig;
using sim::FingerOnSensor;
using sim::TestPatternSource;

namespace {

constexpr uint32_t kSerial = 4711;
constexpr size_t kRoiFrame = 384 * 320;

struct Reply {
    uint32_t cmdId = 0;
    std::vector<uint8_t> body;
};

// Little-endian fields of `width` bytes each, padded with zeros to `size` bytes.
std::vector<uint8_t> LE(std::initializer_list<uint32_t> fields, int width = 4, size_t size = 0) {
    std::vector<uint8_t> bytes;
    for (uint32_t field : fields)
        for (int i = 0; i < width; ++i) bytes.push_back(static_cast<uint8_t>(field >> 8 * i));
    bytes.resize(std::max(bytes.size(), size));
    return bytes;
}

std::vector<uint8_t> ImageExRequest(uint16_t width, uint16_t height, int16_t x, int16_t y,
                                    uint16_t frame) {
    return LE({width, height, static_cast<uint16_t>(x), static_cast<uint16_t>(y), frame}, 2, 16);
}

std::vector<uint8_t> Trigger(uint8_t mode) {
    return LE({mode}, 1, 8);
}

// A peer socket, connected or listening, with exact reads.
class Peer {
public:
    Peer() = default;
    ~Peer() { platform::CloseSocket(m_socket); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    SocketHandle Socket() const { return m_socket; }
    void Reset(SocketHandle socket) {
        platform::CloseSocket(m_socket);
        m_socket = socket;
    }

    bool Write(const std::vector<uint8_t>& bytes) const {
        return SendAll({{}, m_socket}, bytes.data(), static_cast<int>(bytes.size()));
    }
    void Send(uint32_t cmdId, const std::vector<uint8_t>& body = {}) const {
        const auto header = EncodeHeader({cmdId, static_cast<uint32_t>(body.size())});
        ASSERT_TRUE(Write({header.begin(), header.end()}) && Write(body));
    }
    // Exactly count bytes; false on a time-out or a close before them.
    bool Read(size_t count, std::vector<uint8_t>& out) const {
        out.resize(count);
        bool timedOut = false;
        return RecvAllMs({{}, m_socket}, out.data(), static_cast<int>(count), 5000, timedOut);
    }
    std::optional<Reply> Receive() const {
        std::vector<uint8_t> header;
        if (!Read(kHeaderSize, header)) return std::nullopt;
        Reply reply{GetU32(header.data()), {}};
        if (!Read(GetU32(header.data() + 4), reply.body)) return std::nullopt;
        return reply;
    }
    std::optional<Reply> Exchange(uint32_t cmdId, const std::vector<uint8_t>& body = {}) const {
        Send(cmdId, body);
        return Receive();
    }
    // The bytes come back as they went out.
    bool Echoes(const std::vector<uint8_t>& bytes) const {
        std::vector<uint8_t> back;
        return Write(bytes) && Read(bytes.size(), back) && back == bytes;
    }
    // Nothing arrives for this long.
    bool Silent(int ms) const { return platform::WaitReadable(m_socket, ms) == 0; }
    // The other end closes within the time.
    bool ClosedWithin(int ms) const {
        uint8_t byte = 0;
        return kvt_test::WaitUntil(
            [&] {
                return platform::WaitReadable(m_socket, 50) == 1 &&
                       platform::RecvSome(m_socket, &byte, 1) <= 0;
            },
            std::chrono::milliseconds(ms));
    }

private:
    SocketHandle m_socket = platform::kInvalidSocket;
};

class EthernetSensorTest : public testing::Test {
protected:
    void SetUp() override {
        listener_.Reset(platform::OpenTcpSocket());
        SocketAddress any;
        ASSERT_TRUE(platform::MakeSocketAddress("127.0.0.1", 0, any));
        ASSERT_TRUE(platform::BindListener(listener_.Socket(), any, 5));
        ASSERT_TRUE(platform::LocalAddress(listener_.Socket(), listenerAddress_));
    }

    EthernetSensorConfig Config(int reconnectDelayMs = 0) const {
        EthernetSensorConfig config;  // at 127.0.0.2, for a listener at 127.0.0.1
        config.reconnectDelayMs = reconnectDelayMs;
        config.listenerPort = platform::AddressPort(listenerAddress_);
        config.serialNumber = kSerial;
        config.echoPort = EthernetSensorConfig::kAnyEchoPort;
        return config;
    }
    // Starts the sensor and accepts its connection as the library would.
    void Connect(int reconnectDelayMs = 0) {
        sensor_ = std::make_unique<EmulatedEthernetSensor>(Config(reconnectDelayMs));
        ASSERT_TRUE(sensor_->Start());
        Accept();
    }
    void Accept() {
        SocketHandle connection = platform::kInvalidSocket;
        SocketAddress local, remote;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        ASSERT_TRUE(platform::AcceptTcp(listener_.Socket(), connection, local, remote,
                                        [end] { return std::chrono::steady_clock::now() < end; }));
        EXPECT_EQ(platform::AddressText(remote), "127.0.0.2");
        peer_.Reset(connection);
    }
    // A keep-alive's connection to the echo service.
    void ConnectEcho(Peer& echo) const {
        SocketAddress address;
        ASSERT_TRUE(platform::MakeSocketAddress("127.0.0.2", sensor_->EchoPort(), address));
        echo.Reset(platform::OpenTcpSocket());
        ASSERT_TRUE(platform::ConnectTcp(echo.Socket(), address, 2000));
    }
    // The body of the answer to a request, which must mirror its command.
    std::vector<uint8_t> Answer(uint32_t cmdId, const std::vector<uint8_t>& body = {}) const {
        const auto reply = peer_.Exchange(cmdId, body);
        EXPECT_TRUE(reply && reply->cmdId == cmdId);
        return reply ? reply->body : std::vector<uint8_t>();
    }
    // The status word of a status answer; -1 when it is none.
    static int64_t Status(const std::optional<Reply>& reply) {
        if (!reply || reply->cmdId != kGetStatus || reply->body.size() != 8) return -1;
        EXPECT_EQ(GetU32(reply->body.data()), kSerial);
        return GetU32(reply->body.data() + 4);
    }

    kvt_test::PatternFrames frames_;
    Peer listener_;
    SocketAddress listenerAddress_;
    std::unique_ptr<EmulatedEthernetSensor> sensor_;
    Peer peer_;
};

TEST_F(EthernetSensorTest, AnswersStatusConfigurationAndProcessStatus) {
    Connect();
    EXPECT_EQ(Status(peer_.Exchange(kGetStatus)), kDevStatusReady);
    sensor_->SetDeviceStatus(kDevStatusError);
    EXPECT_EQ(Status(peer_.Exchange(kGetStatus)), kDevStatusError);

    sensor_->SetFirmware(4, 12);
    sensor_->SetImageOffsets(-5, 300);
    const int port = platform::AddressPort(listenerAddress_);
    const std::pair<uint32_t, std::vector<uint8_t>> configs[] = {
        {kConfigFirmware, {4, 12, 0, 0}},
        {kConfigServerPort, {static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port), 0, 0}},
        {kConfigServerIP, {127, 0, 0, 1}},
        {kConfigClientIP, {127, 0, 0, 2}},
        {kConfigOffsetX, {0xFB, 0xFF, 0, 0}},
        {kConfigOffsetY, {0x2C, 0x01, 0, 0}}};
    for (const auto& [index, bytes] : configs)
        EXPECT_EQ(Answer(kGetConfiguration, LE({kGetConfigMagic, index, 0, 0})), bytes) << index;

    // What the sensor does not know it refuses with DEV_STATUS_ERROR.
    EXPECT_EQ(Status(peer_.Exchange(kGetConfiguration, LE({kGetConfigMagic, 6, 0, 0}))),
              kDevStatusError);
    EXPECT_EQ(Status(peer_.Exchange(kGetConfiguration, LE({0, 0, 0, 0}))), kDevStatusError);
    EXPECT_EQ(Status(peer_.Exchange(kGetStatus, {1, 2, 3, 4})), kDevStatusError);
    EXPECT_EQ(Status(peer_.Exchange(77)), kDevStatusError);

    // The process status sets the lights (which the library's results show
    // in the integration tests); a wrong item or state is refused and leaves them.
    sensor_->SetDeviceStatus(kDevStatusReady);
    const auto procStatus = [](uint32_t state, uint32_t item = kInterfaceProcStatus) {
        return LE({item, 16, state, 0});
    };
    EXPECT_EQ(Status(peer_.Exchange(kSetInterface, procStatus(kProcStatusOther))), kDevStatusReady);
    for (const auto& request : {procStatus(kProcStatusSuccess, 2), procStatus(5)}) {
        EXPECT_EQ(Status(peer_.Exchange(kSetInterface, request)), kDevStatusError);
        EXPECT_EQ(sensor_->IndicatedState(), kProcStatusOther);
    }
}

TEST_F(EthernetSensorTest, ImagesShowTheFingerInTheRequestedWindow) {
    Connect();
    const FingerOnSensor live{1, 0, true};
    sensor_->PlaceFinger(live);

    // GET_IMAGE: the default window, frame 1 then the cross-polarised frame 2.
    std::vector<uint8_t> expected(2 * kRoiFrame);
    TestPatternSource pattern;
    pattern.Render(&live, 0, 384, 320, 0, 0, expected.data());
    pattern.Render(&live, 1, 384, 320, 0, 0, expected.data() + kRoiFrame);
    EXPECT_EQ(Answer(kGetImage), expected);

    // GET_IMAGE_EX: the window origin is on the imager, the default window at
    // the offsets.
    const auto full =
        Answer(kGetImageEx, ImageExRequest(416, 332, 210 - 32, 90 - 12, kFrameNormal));
    ASSERT_EQ(full.size(), 416u * 332);
    EXPECT_EQ(full[(12 + 160) * 416 + 32 + 192], TestPatternSource::PatternValue(160, 192));
    sensor_->SetImageOffsets(100, 50);
    expected.assign(16 * 8, 0);
    pattern.Render(&live, 1, 16, 8, 10, 20, expected.data());
    EXPECT_EQ(Answer(kGetImageEx, ImageExRequest(16, 8, 110, 70, kFrameLiveFinger)), expected);

    sensor_->LiftFinger();
    EXPECT_EQ(Answer(kGetImageEx, ImageExRequest(192, 160, 0, 0, kFrameNormal)),
              std::vector<uint8_t>(192 * 160, 255));

    for (const auto& bad : {ImageExRequest(0, 10, 0, 0, 1), ImageExRequest(1000, 400, 0, 0, 1),
                            ImageExRequest(10, 10, 0, 0, 3), std::vector<uint8_t>(8, 1)})
        EXPECT_EQ(Status(peer_.Exchange(kGetImageEx, bad)), kDevStatusError);
}

// Arming, one image for a finger that comes, and disarming are checked with the
// library in the integration tests.
TEST_F(EthernetSensorTest, AutomaticTriggerFiresAtOnceForALyingFingerAndIsOffAfterAReset) {
    Connect();
    sensor_->PlaceFinger({3, 0, true});
    EXPECT_EQ(Status(peer_.Exchange(kSetAutoTrigger, Trigger(kTriggerAutomatic))), kDevStatusReady);
    const auto image = peer_.Receive();
    ASSERT_TRUE(image);
    EXPECT_EQ(std::tuple(image->cmdId, image->body.size(), sensor_->ImagesTriggered(),
                         sensor_->TriggerArmed()),
              std::tuple(kGetImage, 2 * kRoiFrame, 1, false));
    EXPECT_TRUE(peer_.Silent(200));
    // Switched off, nothing comes.
    sensor_->LiftFinger();
    EXPECT_EQ(Status(peer_.Exchange(kSetAutoTrigger, Trigger(kTriggerAutomatic))), kDevStatusReady);
    EXPECT_EQ(Status(peer_.Exchange(kSetAutoTrigger, Trigger(kTriggerOff))), kDevStatusReady);
    sensor_->PlaceFinger({3, 0, true});
    EXPECT_TRUE(peer_.Silent(200));

    // The answer carries the device status, which the library checks.
    sensor_->SetDeviceStatus(4);
    EXPECT_EQ(Status(peer_.Exchange(kSetAutoTrigger, Trigger(kTriggerOff))), 4);
    EXPECT_EQ(Status(peer_.Exchange(kSetAutoTrigger, Trigger(1))), kDevStatusError);

    // A reset has no answer and switches the trigger off.
    sensor_->LiftFinger();
    peer_.Exchange(kSetAutoTrigger, Trigger(kTriggerAutomatic));
    sensor_->ClearReceived();
    peer_.Send(kResetDevice);
    ASSERT_TRUE(sensor_->WaitReceived(1, 5000));
    EXPECT_EQ(sensor_->Received()[0].cmdId, kResetDevice);
    EXPECT_FALSE(sensor_->TriggerArmed());
    EXPECT_TRUE(peer_.Silent(200));
}

TEST_F(EthernetSensorTest, EchoServiceAnswersTheNewestKeepAliveUntilTheSensorStops) {
    Connect();
    Peer echo;
    ConnectEcho(echo);
    const std::vector<uint8_t> probe(8, 0xFF);
    // An echo that stops is met by the library's keep-alive in the
    // integration tests.
    EXPECT_TRUE(echo.Echoes(probe));

    // A newer keep-alive replaces the old one, as after a restart of the library.
    Peer newer;
    ConnectEcho(newer);
    EXPECT_TRUE(echo.ClosedWithin(2000));
    EXPECT_TRUE(newer.Echoes(probe));

    // A sensor that stops takes its echo service with it.
    sensor_->Stop();
    EXPECT_TRUE(newer.ClosedWithin(2000));
    EXPECT_TRUE(peer_.ClosedWithin(2000));
    EXPECT_FALSE(sensor_->IsConnected());
}

TEST_F(EthernetSensorTest, MaliciousPeersAndBrokenImagesNeitherCrashNorHangTheSensor) {
    Connect();
    // A body no command has: the peer is not speaking the protocol.
    peer_.Write(LE({kGetStatus, 0xFFFFFFFF, 0, 0}));
    EXPECT_TRUE(peer_.ClosedWithin(2000));
    EXPECT_TRUE(sensor_->WaitConnectionState(false, 2000));
    sensor_.reset();

    // A peer that asks for images and never reads them: stopping still ends.
    Connect();
    for (int i = 0; i < 40; ++i) peer_.Send(kGetImage);
    ASSERT_TRUE(sensor_->WaitReceived(1, 5000));
    sensor_->Stop();
    EXPECT_FALSE(sensor_->IsConnected());
    sensor_.reset();

    // Half a header, then gone.
    Connect();
    peer_.Write({1, 0, 0});
    peer_.Reset(platform::kInvalidSocket);
    EXPECT_TRUE(sensor_->WaitConnectionState(false, 2000));
    sensor_.reset();

    // The sensor itself breaks off in the middle of an image: its echo
    // service ends with the connection.
    Connect();
    Peer echo;
    ConnectEcho(echo);
    sensor_->InjectFault(EthernetFault::kCloseInImage);
    peer_.Send(kGetImage);
    std::vector<uint8_t> part;
    ASSERT_TRUE(peer_.Read(kHeaderSize + kRoiFrame, part));
    EXPECT_EQ(GetU32(part.data() + 4), 2 * kRoiFrame);
    EXPECT_TRUE(peer_.ClosedWithin(2000));
    EXPECT_TRUE(sensor_->WaitConnectionState(false, 2000));
    EXPECT_TRUE(echo.ClosedWithin(2000));
}

TEST_F(EthernetSensorTest, ReconnectsAfterTheLibraryClosesTheConnection) {
    Connect(50);
    EXPECT_EQ(Status(peer_.Exchange(kGetStatus)), kDevStatusReady);
    peer_.Reset(platform::kInvalidSocket);
    Accept();
    EXPECT_EQ(Status(peer_.Exchange(kGetStatus)), kDevStatusReady);
}

TEST_F(EthernetSensorTest, StartFailsWithoutListenerOrEchoPort) {
    Connect();
    // Nobody listens on port 1; the first sensor holds its echo port.
    for (auto spoil : std::initializer_list<std::function<void(EthernetSensorConfig&)>>{
             [](auto& c) { c.echoPort = EthernetSensorConfig::kNoEchoService, c.listenerPort = 1; },
             [&](auto& c) { c.echoPort = sensor_->EchoPort(); },
             [](auto& c) { c.sensorAddress = "no address"; }}) {
        EthernetSensorConfig config = Config();
        config.connectTimeoutMs = 500;
        spoil(config);
        EXPECT_FALSE(EmulatedEthernetSensor(config).Start());
    }
}

}  // namespace
