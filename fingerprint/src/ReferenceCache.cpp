#include "ReferenceCache.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "PrintLayout.h"

namespace fp::detail {
namespace {

// Length and stored checksum of what looks like a template; false when the
// bytes cannot be one (the decoder then says why).
bool TemplateKey(const std::uint8_t* data, std::size_t size, std::size_t& length,
                 std::uint32_t& crc) {
    constexpr std::size_t kChecksum = 4;
    if (data == nullptr || size < kTemplateHeaderSize + kChecksum) return false;
    length = static_cast<std::size_t>(data[6] | (data[7] << 8));
    if (length < kTemplateHeaderSize + kChecksum || length > size) return false;
    const std::uint8_t* c = data + length - kChecksum;
    crc = static_cast<std::uint32_t>(c[0]) | (static_cast<std::uint32_t>(c[1]) << 8) |
          (static_cast<std::uint32_t>(c[2]) << 16) | (static_cast<std::uint32_t>(c[3]) << 24);
    return true;
}

}  // namespace

const PreparedPrint* ReferenceCache::Find(const std::uint8_t* reference, std::size_t size) {
    std::size_t length = 0;
    std::uint32_t crc = 0;
    if (!TemplateKey(reference, size, length, crc)) return nullptr;
    const auto it = entries_.find(crc);
    if (it == entries_.end()) return nullptr;
    // Only identical bytes are a hit, so a damaged copy of a cached template
    // still goes through the decoder's checks.
    const auto& bytes = it->second.bytes;
    if (bytes.size() != length || std::memcmp(bytes.data(), reference, length) != 0) return nullptr;
    recency_.splice(recency_.begin(), recency_, it->second.recency);
    // Seen again: worth the flow cells that first sight left out.
    PrintLayout& layout = it->second.print.writableLayout();
    if (!layout.flowPrepared) {
        PrepareFlow(layout.orientation, layout.flow);
        layout.flowPrepared = true;
    }
    return &it->second.print;
}

const PreparedPrint& ReferenceCache::Remember(const std::uint8_t* reference, std::size_t size,
                                              const Features& decoded,
                                              const StoredNeighbourhoods& stored,
                                              std::size_t capacity) {
    std::size_t length = 0;
    std::uint32_t crc = 0;
    TemplateKey(reference, size, length, crc);
    auto it = entries_.find(crc);
    if (it == entries_.end()) {
        while (entries_.size() > capacity && !recency_.empty()) {
            entries_.erase(recency_.back());
            recency_.pop_back();
        }
        if (entries_.size() == capacity && !recency_.empty()) {
            // The least recently used entry, node and buffers, takes the new
            // key: a cold identification allocates nothing per reference.
            auto node = entries_.extract(recency_.back());
            recency_.splice(recency_.begin(), recency_, std::prev(recency_.end()));
            recency_.front() = crc;
            node.key() = crc;
            node.mapped().recency = recency_.begin();
            it = entries_.insert(std::move(node)).position;
        } else {
            Entry entry;
            if (!spare_.empty()) {
                entry = std::move(spare_.back());
                spare_.pop_back();
            }
            recency_.push_front(crc);
            entry.recency = recency_.begin();
            it = entries_.emplace(crc, std::move(entry)).first;
        }
    } else {
        recency_.splice(recency_.begin(), recency_, it->second.recency);
    }
    it->second.bytes.assign(reference, reference + length);
    // Most references seen for the first time never reach the ridge-flow
    // check: its cells wait until the reference is seen again.
    PrepareLayout(decoded, false, it->second.print.writableLayout(), false, &stored);
    return it->second.print;
}

void ReferenceCache::Clear(std::size_t capacity) {
    // The buffers stay for the next references: a cold identification then
    // allocates nothing per reference either.
    for (auto& [crc, entry] : entries_) {
        if (spare_.size() >= capacity) break;
        spare_.push_back(std::move(entry));
    }
    entries_.clear();
    recency_.clear();
}

}  // namespace fp::detail
