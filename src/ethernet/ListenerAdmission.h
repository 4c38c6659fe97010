#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Sockets.h"

// Which peers a listener lets connect: anyone, or only the addresses and
// prefixes of a list such as "192.168.1.20, 10.0.0.0/8".
class CPeerFilter {
public:
    // Entries are separated by commas or blanks; each is a dotted IPv4
    // address, optionally with "/bits". Entries that are neither land in
    // rejected and are left out. Empty text lets anyone connect; text with no
    // usable entry lets nobody.
    static CPeerFilter Parse(const std::string& text, std::vector<std::string>& rejected);

    bool IsRestricted() const { return m_restricted; }
    bool Allows(const platform::SocketAddress& peer) const;

private:
    struct Range {
        uint32_t network;  // host byte order
        uint32_t mask;
    };
    bool m_restricted = false;
    std::vector<Range> m_ranges;
};

// Bounds the connections a listener is setting up at once, in all and per
// peer address, so that a crowd of stalling peers cannot take every thread
// and one peer cannot take every place.
class CHandshakeSlots : public std::enable_shared_from_this<CHandshakeSlots> {
public:
    // Held by one connection while it is set up; gives its place back when
    // destroyed.
    class Slot {
    public:
        Slot() = default;
        Slot(Slot&& other) noexcept = default;
        Slot& operator=(Slot&& other) noexcept;
        ~Slot();
        explicit operator bool() const { return m_owner != nullptr; }

    private:
        friend class CHandshakeSlots;
        Slot(std::shared_ptr<CHandshakeSlots> owner, uint32_t peer)
            : m_owner(std::move(owner)), m_peer(peer) {}
        void Release();

        std::shared_ptr<CHandshakeSlots> m_owner;
        uint32_t m_peer = 0;
    };

    // Make with std::make_shared: slots keep their owner alive.
    CHandshakeSlots(size_t total, size_t perPeer) : m_total(total), m_perPeer(perPeer) {}

    // An empty slot when either bound is reached.
    Slot TryTake(const platform::SocketAddress& peer);
    size_t InUse() const;

private:
    void Give(uint32_t peer);

    const size_t m_total;
    const size_t m_perPeer;
    mutable std::mutex m_mutex;
    size_t m_inUse = 0;
    std::map<uint32_t, size_t> m_byPeer;
};
