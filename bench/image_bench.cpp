// The image path per capture: make-up and encoding for each picture size,
// the live-finger check, and decoding an application's BMP.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "devicemanager/DevicesManager.h"
#include "image/LFDCheck.h"
#include "image/PLBmpDecoder.h"
#include "image/PLBmpEncoder.h"
#include "image/PLMemSink.h"
#include "image/PLWinBmp.h"
#include "image/PictureGeometry.h"

namespace {

const char* const kSizeNames[] = {"ROI", "Half", "Full"};

// Two frames of noise, as many bytes as the picture size's raw buffer with LFD.
std::vector<uint8_t> RawFrames(uint32_t pictureSize) {
    const PictureGeometry& g = kPictureGeometry[pictureSize];
    std::vector<uint8_t> raw(2 * static_cast<size_t>(g.rawWidth) * g.rawHeight);
    std::mt19937 random(42);
    for (uint8_t& byte : raw) byte = static_cast<uint8_t>(random());
    return raw;
}

CProperties Properties(uint32_t pictureSize) {
    CProperties properties;
    properties.SetProperty("PictureSize", kSizeNames[pictureSize]);
    properties.SetProperty("ImageMode", "Photo");
    properties.SetProperty("Inverted", "true");
    return properties;
}

void BM_MakeupImage(benchmark::State& state) {
    const auto size = static_cast<uint32_t>(state.range(0));
    const std::vector<uint8_t> raw = RawFrames(size);
    const CProperties properties = Properties(size);
    PLWinBmp bitmap;
    for (auto _ : state) {
        CDevicesManager::MakeupImage(raw.data(), properties, bitmap);
        benchmark::DoNotOptimize(bitmap.GetPixels());
    }
    state.SetLabel(kSizeNames[size]);
}
BENCHMARK(BM_MakeupImage)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

void BM_EncodePicture(benchmark::State& state) {
    const auto size = static_cast<uint32_t>(state.range(0));
    const std::vector<uint8_t> raw = RawFrames(size);
    PLWinBmp bitmap;
    CDevicesManager::MakeupImage(raw.data(), Properties(size), bitmap);
    for (auto _ : state) {
        PLMemSink sink;
        sink.Open("mem", bitmap.GetMemUsed());
        PLBmpEncoder().EncodeToSink(bitmap, sink);
        benchmark::DoNotOptimize(sink.GetBytes());
    }
    state.SetLabel(kSizeNames[size]);
}
BENCHMARK(BM_EncodePicture)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

// The whole delivery of an asynchronous capture's picture.
void BM_CopyImageToMessage(benchmark::State& state) {
    const auto size = static_cast<uint32_t>(state.range(0));
    const std::vector<uint8_t> raw = RawFrames(size);
    const CProperties properties = Properties(size);
    QueuedMessage message;
    for (auto _ : state) {
        CDevicesManager::CopyImageToMessage(raw.data(), properties, message);
        benchmark::DoNotOptimize(message.image.data());
    }
    state.SetLabel(kSizeNames[size]);
}
BENCHMARK(BM_CopyImageToMessage)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

void BM_LFDCheck(benchmark::State& state) {
    const auto size = static_cast<uint32_t>(state.range(0));
    const std::vector<uint8_t> raw = RawFrames(size);
    const CLFDCheck check(kLFDWindow[size]);
    const LFDMeasurement measurement{8000, 1000, 1000, 6000, 0};
    for (auto _ : state) {
        benchmark::DoNotOptimize(check.Check(raw.data(), raw.data() + raw.size() / 2, measurement,
                                             kvt__DeviceType__Kelo_B));
    }
    state.SetLabel(kSizeNames[size]);
}
BENCHMARK(BM_LFDCheck)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

// An application hands the ROI picture back for extraction.
void BM_DecodeBmp(benchmark::State& state) {
    QueuedMessage message;
    CDevicesManager::CopyImageToMessage(RawFrames(0).data(), Properties(0), message);
    const std::vector<uint8_t> file = message.image;
    PLWinBmp bitmap;
    for (auto _ : state) {
        PLBmpDecoder().DecodeMemory(file.data(), file.size(), bitmap);
        benchmark::DoNotOptimize(bitmap.GetPixels());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.size()));
}
BENCHMARK(BM_DecodeBmp)->Unit(benchmark::kMicrosecond);

}  // namespace
