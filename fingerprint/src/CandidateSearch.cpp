// Candidate search: which minutia pairs of two prints are worth an alignment.
// Occupancy cells shared (a popcount) pick a shortlist cheaply; the local
// similarity of the shortlist's neighbourhoods picks the seeds.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <functional>

#include "MatcherInternal.h"

namespace fp::detail {
namespace {

using namespace params;

// Population count without a popcnt target: std::popcount would be a library
// call there.
[[maybe_unused]] int PortablePopcount(std::uint64_t v) {
    v -= (v >> 1) & 0x5555555555555555u;
    v = (v & 0x3333333333333333u) + ((v >> 2) & 0x3333333333333333u);
    v = (v + (v >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return static_cast<int>((v * 0x0101010101010101u) >> 56);
}

// Candidate pairs are 64-bit keys that order best first: the shared occupancy
// bits, then the probe minutia, then the reference minutia (minutiae come best
// quality first, so ties go to the better minutiae, and never to chance).
inline int KeyProbe(std::uint64_t key) {
    return 0xFFFF - static_cast<int>((key >> 16) & 0xFFFF);
}
inline int KeyReference(std::uint64_t key) {
    return 0xFFFF - static_cast<int>(key & 0xFFFF);
}

// The candidate search: every probe minutia against the reference minutiae
// within the rotation limit of its direction, with the number of occupancy
// bits they share. Pairs sharing at least two go to `keys` (room for all
// pairs); returns how many.
template <int (*Popcount)(std::uint64_t)>
FP_ALWAYS_INLINE std::size_t ScanCandidates(const PrintLayout& probe, const PrintLayout& ref,
                                            int limit, std::uint64_t* keys) {
    const std::size_t np = std::min<std::size_t>(probe.points.size(), kSeedMinutiae);
    const int nr = static_cast<int>(ref.sortedKeys.size());
    const std::uint64_t* cells = ref.sortedCells.data();
    const std::uint64_t* low = ref.sortedKeys.data();
    const std::uint16_t* first = ref.firstAtLeast.data();
    std::size_t count = 0;
    for (std::size_t i = 0; i < np; ++i) {
        const std::uint64_t a0 = probe.spreadCells[2 * i], a1 = probe.spreadCells[2 * i + 1];
        const std::uint64_t probeKey = static_cast<std::uint64_t>(0xFFFF - i) << 16;
        // Directions within the limit form one run of the sorted reference,
        // or two where it wraps round.
        int from[2] = {0, 0}, to[2] = {nr, 0};
        if (limit < 128) {
            const int a = probe.points[i].angle, lo = a - limit, hi = a + limit;
            if (lo < 0) {
                to[0] = first[hi + 1], from[1] = first[lo + 256], to[1] = nr;
            } else if (hi > 255) {
                from[0] = first[lo], from[1] = 0, to[1] = first[hi - 255];
            } else {
                from[0] = first[lo], to[0] = first[hi + 1];
            }
        }
        for (int run = 0; run < 2; ++run)
            for (int k = from[run]; k < to[run]; ++k) {
                const int common = Popcount(a0 & cells[2 * k]) + Popcount(a1 & cells[2 * k + 1]);
                keys[count] = (static_cast<std::uint64_t>(common) << 32) | probeKey | low[k];
                count += common >= kMinSharedCells;
            }
    }
    return count;
}

using ScanFunction = std::size_t (*)(const PrintLayout&, const PrintLayout&, int, std::uint64_t*);

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__)) && \
    !defined(FP_MATCHER_PORTABLE)
std::size_t ScanPortable(const PrintLayout& probe, const PrintLayout& ref, int limit,
                         std::uint64_t* keys) {
    return ScanCandidates<PortablePopcount>(probe, ref, limit, keys);
}

// The baseline x86-64 target has no popcnt instruction; nearly every processor
// since 2008 has, so a second copy of the search uses it where present.
// Inlined into that copy only, where the builtin becomes the instruction.
FP_ALWAYS_INLINE int HardwarePopcount(std::uint64_t v) {
    return __builtin_popcountll(v);
}

[[gnu::target("popcnt")]] std::size_t ScanPopcnt(const PrintLayout& probe, const PrintLayout& ref,
                                                 int limit, std::uint64_t* keys) {
    return ScanCandidates<HardwarePopcount>(probe, ref, limit, keys);
}

ScanFunction ChooseScan() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("popcnt") ? ScanPopcnt : ScanPortable;
}
#else
// Elsewhere std::popcount is the instruction, or the compiler's best; the
// portable build counts by hand, as on x86 without popcnt.
int NativePopcount(std::uint64_t v) {
#ifdef FP_MATCHER_PORTABLE
    return PortablePopcount(v);
#else
    return std::popcount(v);
#endif
}

std::size_t ScanNative(const PrintLayout& probe, const PrintLayout& ref, int limit,
                       std::uint64_t* keys) {
    return ScanCandidates<NativePopcount>(probe, ref, limit, keys);
}

ScanFunction ChooseScan() {
    return ScanNative;
}
#endif

// Chosen once, by what the processor offers.
std::size_t Scan(const PrintLayout& probe, const PrintLayout& ref, int limit, std::uint64_t* keys) {
    static const ScanFunction chosen = ChooseScan();
    return chosen(probe, ref, limit, keys);
}

}  // namespace

void FindSeeds(const PrintLayout& probe, const PrintLayout& ref, int maxRotation,
               std::size_t wanted, Scratch& scratch) {
    const std::size_t np = probe.points.size(), nr = ref.points.size();
    // Occupancy overlap first, the full neighbourhood comparison for the best of those.
    if (scratch.candidates.size() < np * nr) scratch.candidates.resize(np * nr);
    std::uint64_t* keys = scratch.candidates.data();
    const std::size_t found = Scan(probe, ref, maxRotation + kSeedAngleSlack, keys);
    const std::size_t shortlist = std::min(found, kShortlistFactor * wanted);
    if (found > shortlist) {
        int histogram[129] = {};
        for (std::size_t k = 0; k < found; ++k) ++histogram[keys[k] >> 32];
        // The fewest shared bits that still make the shortlist: all with more
        // are in, and those with exactly as many fill the rest in key order.
        int least = 128;
        std::size_t above = 0;
        while (above + static_cast<std::size_t>(histogram[least]) < shortlist)
            above += static_cast<std::size_t>(histogram[least--]);
        const std::uint64_t floor = static_cast<std::uint64_t>(least) << 32;
        const std::uint64_t ceiling = static_cast<std::uint64_t>(least + 1) << 32;
        if (scratch.ties.size() < found) scratch.ties.resize(found);
        std::uint64_t* ties = scratch.ties.data();
        std::size_t kept = 0, tied = 0;
        for (std::size_t k = 0; k < found; ++k) {
            const std::uint64_t key = keys[k];
            keys[kept] = key;
            kept += key >= ceiling;
            ties[tied] = key;
            tied += key >= floor && key < ceiling;
        }
        // The search runs through the probe minutiae in order, so the ties
        // are in key order except within one probe minutia: all ties of the
        // probe minutiae before the last one needed are in, and of that
        // one's, the best.
        const std::size_t need = shortlist - kept;
        const int lastProbe = KeyProbe(ties[need - 1]);
        std::size_t from = need - 1, to = need;
        while (from > 0 && KeyProbe(ties[from - 1]) == lastProbe) --from;
        while (to < tied && KeyProbe(ties[to]) == lastProbe) ++to;
        std::sort(ties + from, ties + to, std::greater<>());
        std::copy(ties, ties + need, keys + kept);
    }
    auto& seeds = scratch.seeds;
    seeds.clear();
    for (std::size_t k = 0; k < shortlist; ++k) {
        const int p = KeyProbe(keys[k]), r = KeyReference(keys[k]);
        const float similarity = scratch.Local(probe, ref, p, r);
        if (similarity > kMinSeedSimilarity) seeds.push_back({similarity, p, r, keys[k]});
    }
    const std::size_t hypotheses = std::min(seeds.size(), wanted);
    std::partial_sort(seeds.begin(), seeds.begin() + hypotheses, seeds.end(),
                      [](const Seed& a, const Seed& b) {
                          if (a.similarity != b.similarity) return a.similarity > b.similarity;
                          return a.key > b.key;
                      });
    seeds.resize(hypotheses);
}

}  // namespace fp::detail
