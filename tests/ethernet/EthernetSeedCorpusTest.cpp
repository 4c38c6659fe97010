// The fuzz target's seed corpus holds a well-behaved sensor's answers to every
// command; replayed, each of them must carry all six operations through.
#ifndef _WIN32

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <vector>

#include "EthernetReplay.h"
#include "support/TempDir.h"

using testing::Each;

namespace {

TEST(EthernetSeedCorpusTest, EverySeedCarriesEveryOperationThrough) {
    const std::filesystem::path folder = KVT_ETHERNET_CORPUS;
    size_t seeds = 0;
    std::array<bool, ethernet_replay::kOperations> firsts{};
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string bytes = kvt_test::ReadFile(entry.path());
        const std::vector<uint8_t> seed(bytes.begin(), bytes.end());
        ASSERT_GT(seed.size(), 1u) << entry.path();
        ++seeds;
        firsts[(seed[0] >> 4) % ethernet_replay::kOperations] = true;
        // A scheduler's pause between two requests must not end the replay early.
        EXPECT_THAT(ethernet_replay::Replay(seed.data(), seed.size(), 500), Each(true))
            << entry.path().filename();

        // Without the replies every operation fails: they are what carries them.
        EXPECT_THAT(ethernet_replay::Replay(seed.data(), 1), Each(false))
            << entry.path().filename();
    }
    EXPECT_GE(seeds, 24u);
    EXPECT_THAT(firsts, Each(true));  // every operation goes first somewhere
}

}  // namespace

#endif
