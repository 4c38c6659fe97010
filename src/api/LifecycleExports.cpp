#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>

#include "algo/AlgoNeuro50.h"
#include "api/ExportFrame.h"
#include "api/LibraryState.h"
#include "api/SimulatorExports.h"
#include "common/Log.h"
#include "devicemanager/MessageThread.h"
#include "platform/Thread.h"
#include "platform/Version.h"
#include "properties/PropertyTypes.h"

namespace {

// How long KVT_Stop lets biometric calls finish; one still running after
// that frees the algorithm itself when it returns.
constexpr uint32_t kAlgorithmCallWaitMs = 5000;

// Without an algorithm the device functions still work; the biometric ones
// report that none is available.
void StartAlgorithm(LibraryState& state) {
    try {
        auto algorithm = std::make_unique<CAlgoNeuro50>();
        if (algorithm->InitAlgo()) state.algorithm.Install(std::move(algorithm));
    } catch (const std::exception& e) {
        CLog::Instance().Error("KVT_Start: the biometric algorithm failed to start: %s", e.what());
    } catch (...) {
        CLog::Instance().Error("KVT_Start: the biometric algorithm failed to start");
    }
}

// An application that returns from main without KVT_Stop: the library's
// threads must end before its static objects are destroyed.
void StopAtExit() {
    if (!State().managerThread.IsRunning()) return;
    CMessageThread::MuteForProcessExit();
    KVT_Stop();
}

}  // namespace

extern "C" {

KVT_API int KVT_CALL KVT_Start(KVT_MessageCallback callback, void* userValue) {
    CFunctionTrace trace("KVT_Start");
    return GuardExport("KVT_Start", [&] {
        LibraryState& state = State();
        std::lock_guard lifecycle(state.lifecycleMutex);
        if (state.managerThread.IsRunning()) {
            CLog::Instance().Debug("unexpected call to KVT_Start()");
            return KVT_RESULT_OK;
        }
        AttachSimulatedSensorsFromEnvironment();
        state.callback = callback;
        state.userValue = userValue;
        const int result = state.managerThread.Run(callback, userValue);
        if (result != KVT_RESULT_OK) {
            state.callback = nullptr;
            state.userValue = nullptr;
            CLog::Instance().ReleaseFile();
            return result;
        }
        StartAlgorithm(state);
        if (!platform::StopBeforeExit(StopAtExit)) {
            CLog::Instance().Warning("KVT_Start: no stop at process exit could be arranged");
        }
        return KVT_RESULT_OK;
    });
}

KVT_API int KVT_CALL KVT_Stop(void) {
    CFunctionTrace trace("KVT_Stop");
    return GuardExport("KVT_Stop", [&] {
        LibraryState& state = State();
        std::lock_guard lifecycle(state.lifecycleMutex);
        if (!state.managerThread.IsRunning()) {
            CLog::Instance().Debug("unexpected call to KVT_Stop()");
            return KVT_RESULT_OK;
        }
        // Biometric calls from now on find no algorithm; device calls are
        // refused once the manager has been told to stop.
        std::shared_ptr<CAlgo> algorithm = state.algorithm.Remove();
        const bool ended = state.managerThread.Stop();
        state.callback = nullptr;
        state.userValue = nullptr;
        if (!state.algorithm.WaitUntilUnused(kAlgorithmCallWaitMs)) {
            CLog::Instance().Error("KVT_Stop: biometric calls still running");
        }
        algorithm.reset();
        // A stopped library keeps no handle on its log; later lines are appended.
        CLog::Instance().ReleaseFile();
        return ended ? KVT_RESULT_OK : KVT_RESULT_FAILED;
    });
}

KVT_API int KVT_CALL KVT_IsRunning(void) {
    CFunctionTrace trace("KVT_IsRunning");
    return GuardExport("KVT_IsRunning", [&] { return State().managerThread.IsRunning() ? 0 : -1; });
}

KVT_API int KVT_CALL KVT_GetVersion(char* buffer, unsigned int size) {
    CFunctionTrace trace("KVT_GetVersion");
    return GuardExport("KVT_GetVersion", [&] {
        const std::string version = platform::LibraryFileVersion();
        int result = KVT_RESULT_FAILED;
        if (buffer != nullptr && size != 0) {
            if (version.size() < size) {
                std::memcpy(buffer, version.c_str(), version.size() + 1);
                result = KVT_RESULT_OK;
            } else {
                buffer[0] = '\0';
            }
        }
        CLog::Instance().Info("%s", version.c_str());
        return result;
    });
}

KVT_API unsigned int KVT_CALL KVT_CalcImageSize(unsigned int width, unsigned int height) {
    try {
        CFunctionTrace trace("KVT_CalcImageSize");
        // Rows are padded to 4 bytes; 1078 = file header, info header and grey palette.
        const uint64_t size = (((uint64_t{width} + 3u) & ~uint64_t{3}) * height) + 1078u;
        // A size that does not fit the result cannot be a picture of this library.
        if (size > UINT32_MAX) {
            CLog::Instance().Error("KVT_CalcImageSize: %u x %u does not fit 32 bits", width,
                                   height);
            return 0;
        }
        return static_cast<uint32_t>(size);
    } catch (...) {
        return 0;
    }
}

}  // extern "C"
