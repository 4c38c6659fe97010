// How long a simulated Ethernet sensor takes to join (connect to
// KVT_MSG_NEW_DEVICE) while hostile peers hold the listener: idle
// connections, a peer that drips one byte every 2.5 s, and a fake sensor that
// answers correctly but takes 2.5 s for each answer. A sensor that is not in
// after kGiveUp counts as kGiveUp and shows admitted=0.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ethernet/EthernetProtocol.h"
#include "kvt/KVTBasic.h"
#include "kvt/KVTSimulator.h"
#include "platform/Sockets.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kGiveUp = std::chrono::seconds(10);

std::atomic<int> g_newDevices{0};

void KVT_CALLBACK CountNewDevices(KVT_Message* message, void*) {
    if (message->type == KVT_MSG_NEW_DEVICE) g_newDevices.fetch_add(1);
}

int FreePort() {
    const platform::SocketHandle socket = platform::OpenTcpSocket();
    platform::SocketAddress address;
    platform::MakeSocketAddress("127.0.0.1", 0, address);
    int port = 0;
    if (platform::BindListener(socket, address, 1) && platform::LocalAddress(socket, address)) {
        port = platform::AddressPort(address);
    }
    platform::CloseSocket(socket);
    return port;
}

struct Library {
    int listenerPort = 0;
    int echoPort = 0;
    bool running = false;
};

// One library for the whole program, with a loopback listener of its own.
const Library& RunningLibrary() {
    static Library library = [] {
        Library made;
        platform::SocketLibraryStartup();
        made.listenerPort = FreePort();
        made.echoPort = FreePort();
        const auto folder = std::filesystem::temp_directory_path() /
                            ("kvt-bench-listener-" + std::to_string(made.listenerPort));
        std::filesystem::create_directories(folder);
        std::ofstream(folder / "KVTDeviceManager.ini")
            << "LogLevel=2\n[DeviceListener_1]\nIP-Address=127.0.0.1\nPort=" << made.listenerPort
            << "\nEchoPort=" << made.echoPort << "\n";
        setenv("KVT_DATA_DIR", folder.string().c_str(), 1);
        made.running = KVT_Start(&CountNewDevices, nullptr) == KVT_RESULT_OK;
        if (made.running) std::atexit([] { KVT_Stop(); });
        return made;
    }();
    return library;
}

// A TCP client of the listener that behaves as told until it is destroyed.
class HostilePeer {
public:
    enum class Kind { kIdle, kDrip, kSlowSensor };

    HostilePeer(Kind kind, int port, const char* from) : m_kind(kind) {
        m_socket = platform::OpenTcpSocket();
        platform::SocketAddress local;
        platform::SocketAddress listener;
        platform::MakeSocketAddress(from, 0, local);
        platform::MakeSocketAddress("127.0.0.1", port, listener);
        platform::BindSocket(m_socket, local);
        platform::ConnectTcp(m_socket, listener, 2000);
        if (kind != Kind::kIdle) m_thread = std::thread([this] { Run(); });
    }
    ~HostilePeer() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        platform::CloseSocket(m_socket);
    }

private:
    bool Pause(std::chrono::milliseconds length) {
        const auto end = Clock::now() + length;
        while (!m_stop && Clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return !m_stop;
    }
    bool ReadRequest(ethernet::CommandHeader& header) {
        uint8_t bytes[ethernet::kHeaderSize + 64];
        size_t have = 0;
        while (!m_stop && have < ethernet::kHeaderSize) {
            if (platform::WaitReadable(m_socket, 50) != 1) continue;
            const int got =
                platform::RecvSome(m_socket, bytes + have, int(ethernet::kHeaderSize - have));
            if (got <= 0) return false;
            have += size_t(got);
        }
        if (m_stop) return false;
        header = ethernet::DecodeHeader(bytes);
        for (uint32_t left = header.length; left > 0 && !m_stop;) {
            if (platform::WaitReadable(m_socket, 50) != 1) continue;
            const int got = platform::RecvSome(m_socket, bytes, int(std::min<uint32_t>(left, 64)));
            if (got <= 0) return false;
            left -= uint32_t(got);
        }
        return !m_stop;
    }
    void Run() {
        if (m_kind == Kind::kDrip) {
            const uint8_t byte = 1;
            while (Pause(std::chrono::milliseconds(2500))) platform::SendSome(m_socket, &byte, 1);
            return;
        }
        ethernet::CommandHeader request;
        while (ReadRequest(request)) {
            if (!Pause(std::chrono::milliseconds(2500))) return;
            const bool status = request.cmdId == ethernet::kGetStatus;
            const uint32_t length = status ? ethernet::kStatusBodySize : ethernet::kConfigValueSize;
            std::vector<uint8_t> answer(ethernet::kHeaderSize + length, 0);
            const auto header = ethernet::EncodeHeader({request.cmdId, length, 0, 0});
            std::copy(header.begin(), header.end(), answer.begin());
            if (status) ethernet::PutU32(&answer[ethernet::kHeaderSize + 4], 1);
            platform::SendSome(m_socket, answer.data(), int(answer.size()));
        }
    }

    Kind m_kind;
    platform::SocketHandle m_socket = platform::kInvalidSocket;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// range(0): idle connections; range(1): a drip peer too; range(2): a slow fake sensor too.
void BM_SensorJoinsPastHostilePeers(benchmark::State& state) {
    const Library& library = RunningLibrary();
    if (!library.running) {
        state.SkipWithError("the library did not start");
        return;
    }
    int admitted = 0;
    unsigned serial = 30000000;
    for (auto _ : state) {
        std::vector<std::unique_ptr<HostilePeer>> peers;
        // Spread over five hosts, so that a listener bounding each host still
        // has to set all of them up.
        const char* hosts[] = {"127.0.1.1", "127.0.1.2", "127.0.1.3", "127.0.1.4", "127.0.1.5"};
        for (int i = 0; i < state.range(0); ++i) {
            peers.push_back(std::make_unique<HostilePeer>(HostilePeer::Kind::kIdle,
                                                          library.listenerPort, hosts[i % 5]));
        }
        if (state.range(1) != 0) {
            peers.push_back(std::make_unique<HostilePeer>(HostilePeer::Kind::kDrip,
                                                          library.listenerPort, "127.0.0.3"));
        }
        if (state.range(2) != 0) {
            peers.push_back(std::make_unique<HostilePeer>(HostilePeer::Kind::kSlowSensor,
                                                          library.listenerPort, "127.0.0.4"));
        }
        // Give the listener the hostile peers first.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const int before = g_newDevices.load();
        const auto start = Clock::now();
        int simId = 0;
        KVTSim_ConnectEthernetSensor("127.0.0.1", library.listenerPort, "127.0.0.2", ++serial,
                                     library.echoPort, &simId);
        while (g_newDevices.load() == before && Clock::now() - start < kGiveUp) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        const auto took = Clock::now() - start;
        admitted += g_newDevices.load() != before;
        state.SetIterationTime(std::chrono::duration<double>(took).count());
        if (simId != 0) KVTSim_Detach(simId);
        peers.clear();
    }
    state.counters["admitted"] = benchmark::Counter(admitted, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_SensorJoinsPastHostilePeers)
    ->ArgNames({"idle", "drip", "slow"})
    ->Args({0, 0, 0})
    ->Args({1, 0, 0})
    ->Args({3, 0, 0})
    ->Args({20, 0, 0})
    ->Args({0, 1, 0})
    ->Args({0, 0, 1})
    ->Args({20, 1, 1})
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
