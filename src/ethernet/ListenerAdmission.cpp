#include "ethernet/ListenerAdmission.h"

#include <algorithm>
#include <cstring>

namespace {

uint32_t HostOrder(uint32_t networkOrder) {
    uint8_t bytes[4];
    std::memcpy(bytes, &networkOrder, sizeof bytes);
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
           bytes[3];
}

bool ParseBits(const std::string& text, int& bits) {
    if (text.empty() || text.size() > 2) return false;
    bits = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        bits = bits * 10 + (c - '0');
    }
    return bits <= 32;
}

}  // namespace

CPeerFilter CPeerFilter::Parse(const std::string& text, std::vector<std::string>& rejected) {
    CPeerFilter filter;
    size_t at = 0;
    while (at < text.size()) {
        const size_t start = text.find_first_not_of(", \t", at);
        if (start == std::string::npos) break;
        const size_t end = std::min(text.find_first_of(", \t", start), text.size());
        const std::string entry = text.substr(start, end - start);
        at = end;
        filter.m_restricted = true;

        const size_t slash = entry.find('/');
        int bits = 32;
        platform::SocketAddress address;
        if ((slash != std::string::npos && !ParseBits(entry.substr(slash + 1), bits)) ||
            !platform::MakeSocketAddress(entry.substr(0, slash).c_str(), 0, address)) {
            rejected.push_back(entry);
            continue;
        }
        // A shift by 32 is undefined, and /0 means every address.
        const uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
        filter.m_ranges.push_back({HostOrder(address.address) & mask, mask});
    }
    return filter;
}

bool CPeerFilter::Allows(const platform::SocketAddress& peer) const {
    if (!m_restricted) return true;
    const uint32_t address = HostOrder(peer.address);
    for (const Range& range : m_ranges) {
        if ((address & range.mask) == range.network) return true;
    }
    return false;
}

CHandshakeSlots::Slot& CHandshakeSlots::Slot::operator=(Slot&& other) noexcept {
    if (this != &other) {
        Release();
        m_owner = std::move(other.m_owner);
        m_id = other.m_id;
    }
    return *this;
}

CHandshakeSlots::Slot::~Slot() {
    Release();
}

void CHandshakeSlots::Slot::Release() {
    if (m_owner) m_owner->Give(m_id);
    m_owner.reset();
}

CHandshakeSlots::Slot CHandshakeSlots::TryTake(const platform::SocketAddress& peer,
                                               std::function<void()> cut, Clock::time_point now) {
    std::function<void()> evicted;
    uint64_t id = 0;
    {
        std::lock_guard lock(m_mutex);
        const auto ofPeer = std::count_if(m_holders.begin(), m_holders.end(),
                                          [&](const Holder& h) { return h.peer == peer.address; });
        if (static_cast<size_t>(ofPeer) >= m_perPeer) return {};
        if (m_holders.size() >= m_total) {
            if (m_holders.empty() || now - m_holders.front().since < m_evictAfter) return {};
            evicted = std::move(m_holders.front().cut);
            m_holders.pop_front();
        }
        id = ++m_lastId;
        m_holders.push_back({id, peer.address, now, std::move(cut)});
    }
    if (evicted) evicted();
    return Slot(shared_from_this(), id);
}

size_t CHandshakeSlots::InUse() const {
    std::lock_guard lock(m_mutex);
    return m_holders.size();
}

void CHandshakeSlots::Give(uint64_t id) {
    std::lock_guard lock(m_mutex);
    // An evicted set-up's place is already someone else's.
    const auto found = std::find_if(m_holders.begin(), m_holders.end(),
                                    [id](const Holder& h) { return h.id == id; });
    if (found != m_holders.end()) m_holders.erase(found);
}
