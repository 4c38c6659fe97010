// The live-finger material as images; how the library's check grades it is
// tested beside the simulated sensors.
#include <gtest/gtest.h>

#include <thread>
#include <tuple>

#include "SimTestSupport.h"
#include "sim/FingerprintSynth.h"

using namespace kvt::sim;

TEST(SimLiveMaterial, ColourReadingsVaryALittle) {
    FingerprintSynth synth(0, 1);
    const ColourReadings a = synth.Colours(1, 0, true), b = synth.Colours(1, 1, true);
    EXPECT_NE(a.red, b.red);
    EXPECT_NEAR(a.red, b.red, 3000);
    const ColourReadings again = synth.Colours(1, 0, true);
    EXPECT_EQ(std::tuple(a.red, a.ir), std::tuple(again.red, again.ir));
}

TEST(SimImageSource, ServesSeveralThreadsWithTheSameBytes) {
    SynthImageSource source(std::make_shared<FingerprintSynth>(0, 4));
    const FrameRequest r{.fingerId = 9, .impression = 3, .crossFrame = true};
    const std::vector<uint8_t> expected = source.Frame(r);
    std::vector<std::thread> threads;
    std::vector<int> same(3, 0);
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            FrameRequest mine = r;
            for (int i = 0; i < 2; ++i) same[t] += source.Frame(mine) == expected;
            mine.fingerId = 10 + t;  // other fingers at the same time
            source.Frame(mine);
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(same, std::vector(3, 2));
}
