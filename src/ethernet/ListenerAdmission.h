#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
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
// and one peer cannot take every place. When every place is taken, a
// newcomer takes the place of the oldest set-up, provided that one has run
// long enough to be stalling: a sensor is through in milliseconds, so peers
// on many addresses that hold their places cannot keep it out.
class CHandshakeSlots : public std::enable_shared_from_this<CHandshakeSlots> {
public:
    using Clock = std::chrono::steady_clock;

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
        Slot(std::shared_ptr<CHandshakeSlots> owner, uint64_t id)
            : m_owner(std::move(owner)), m_id(id) {}
        void Release();

        std::shared_ptr<CHandshakeSlots> m_owner;
        uint64_t m_id = 0;
    };

    // Make with std::make_shared: slots keep their owner alive. A set-up
    // younger than evictAfter keeps its place.
    CHandshakeSlots(size_t total, size_t perPeer, Clock::duration evictAfter)
        : m_total(total), m_perPeer(perPeer), m_evictAfter(evictAfter) {}

    // An empty slot when the peer has its share, or when every place is held
    // by a set-up too young to give way. cut ends this set-up when a newcomer
    // takes its place; it is called without the lock held.
    Slot TryTake(const platform::SocketAddress& peer, std::function<void()> cut,
                 Clock::time_point now = Clock::now());
    size_t InUse() const;

private:
    struct Holder {
        uint64_t id;
        uint32_t peer;
        Clock::time_point since;
        std::function<void()> cut;
    };
    void Give(uint64_t id);

    const size_t m_total;
    const size_t m_perPeer;
    const Clock::duration m_evictAfter;
    mutable std::mutex m_mutex;
    std::deque<Holder> m_holders;  // oldest first
    uint64_t m_lastId = 0;
};
