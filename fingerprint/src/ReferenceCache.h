// The reference cache: prepared references kept by a matcher, keyed by the
// checksum stored in their template and confirmed byte for byte, so that
// identifying against the same gallery again skips decoding and preparation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <unordered_map>
#include <vector>

#include "fp/Matcher.h"

namespace fp::detail {

struct StoredNeighbourhoods;

class ReferenceCache {
public:
    // The prepared print of these template bytes, when remembered, its
    // preparation completed; null otherwise.
    const PreparedPrint* Find(const std::uint8_t* reference, std::size_t size);
    // A new or renewed entry for bytes that decoded into `decoded` and
    // `stored`; the least recently used entry makes room when `capacity` are
    // kept, and its buffers are reused. Prepared without the ridge-flow
    // cells, which the comparison works out when it needs them.
    const PreparedPrint& Remember(const std::uint8_t* reference, std::size_t size,
                                  const Features& decoded, const StoredNeighbourhoods& stored,
                                  std::size_t capacity);
    // Forgets every entry but keeps up to `capacity` of their buffers.
    void Clear(std::size_t capacity);
    std::size_t size() const { return entries_.size(); }

private:
    struct Entry {
        std::vector<std::uint8_t> bytes;  // the template as given, up to its declared size
        PreparedPrint print;
        std::list<std::uint32_t>::iterator recency;
    };
    std::unordered_map<std::uint32_t, Entry> entries_;
    std::list<std::uint32_t> recency_;  // most recently used first
    std::vector<Entry> spare_;          // buffers of cleared entries, for reuse
};

}  // namespace fp::detail
