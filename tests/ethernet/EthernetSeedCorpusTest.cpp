// The fuzz target's seed corpus holds a well-behaved sensor's answers to every
// command; replayed, each of them must carry all six operations through.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <vector>

#include "EthernetReplay.h"
#include "support/TempDir.h"

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
        const auto succeeded = ethernet_replay::Replay(seed.data(), seed.size(), 500);
        for (int op = 0; op < ethernet_replay::kOperations; ++op) {
            EXPECT_TRUE(succeeded[op]) << entry.path().filename() << " operation " << op;
        }

        // Without the replies every operation fails: they are what carries them.
        const auto unanswered = ethernet_replay::Replay(seed.data(), 1);
        for (int op = 0; op < ethernet_replay::kOperations; ++op) {
            EXPECT_FALSE(unanswered[op]) << entry.path().filename() << " operation " << op;
        }
    }
    EXPECT_GE(seeds, 24u);
    for (bool first : firsts) EXPECT_TRUE(first);  // every operation goes first somewhere
}

}  // namespace

#endif
