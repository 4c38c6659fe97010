#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "algo/AlgoNeuro50.h"
#include "api/ExportFrame.h"
#include "api/LibraryState.h"
#include "api/SimulatorExports.h"
#include "common/Log.h"
#include "platform/Version.h"

namespace {

// Without an algorithm the device functions still work; the biometric ones
// report that none is available.
void StartAlgorithm(LibraryState& state) {
    try {
        auto algorithm = std::make_unique<CAlgoNeuro50>();
        if (algorithm->InitAlgo()) state.algorithm = std::move(algorithm);
    } catch (const std::exception& e) {
        CLog::Instance().Error("KVT_Start: the biometric algorithm failed to start: %s", e.what());
    } catch (...) {
        CLog::Instance().Error("KVT_Start: the biometric algorithm failed to start");
    }
}

}  // namespace

extern "C" {

KVT_API int KVT_CALL KVT_Start(KVT_MessageCallback callback, void* userValue) {
    CFunctionTrace trace("KVT_Start");
    return GuardExport("KVT_Start", [&] {
        LibraryState& state = State();
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
            return result;
        }
        StartAlgorithm(state);
        return KVT_RESULT_OK;
    });
}

KVT_API int KVT_CALL KVT_Stop(void) {
    CFunctionTrace trace("KVT_Stop");
    return GuardExport("KVT_Stop", [&] {
        LibraryState& state = State();
        if (!state.managerThread.IsRunning()) {
            CLog::Instance().Debug("unexpected call to KVT_Stop()");
            return KVT_RESULT_OK;
        }
        const bool ended = state.managerThread.Stop();
        state.callback = nullptr;
        state.userValue = nullptr;
        if (state.algorithm != nullptr) {
            state.algorithm->ExitAlgo();
            state.algorithm.reset();
        }
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
        return ((width + 3u) & ~3u) * height + 1078u;
    } catch (...) {
        return 0;
    }
}

}  // extern "C"
