#include "devicemanager/MessageQueue.h"

#include "common/Log.h"

bool CMessageQueue::storeMessage(const QueuedMessage& message) {
    if (message.receiver.empty() || message.type < 0) return false;
    if (message.type == kvt__MessageType__CapturedImage && message.image.empty()) return false;
    if ((message.type == kvt__MessageType__NewDevice ||
         message.type == kvt__MessageType__LostDevice ||
         message.type == kvt__MessageType__Timeout) &&
        message.deviceId.empty())
        return false;
    {
        CCritSecLock lock(m_lock);
        CLog::Instance().Debug("CMessageQueue::storeMessage: ID = %s, Type = %d",
                               message.deviceId.c_str(), static_cast<int>(message.type));
        m_entries.push_back(message);
        if (m_entries.size() > kCapacity) m_entries.pop_front();
    }
    m_posted.Set();
    return true;
}

bool CMessageQueue::fetchMessage(QueuedMessage& out) {
    CCritSecLock lock(m_lock);
    if (m_entries.empty()) return false;
    out = std::move(m_entries.front());
    m_entries.pop_front();
    return true;
}

bool CMessageQueue::isEmpty() {
    CCritSecLock lock(m_lock);
    return m_entries.empty();
}

size_t CMessageQueue::size() {
    CCritSecLock lock(m_lock);
    return m_entries.size();
}

void CMessageQueue::WaitForMessage(uint32_t timeoutMs) {
    m_posted.Wait(timeoutMs);
}

void CMessageQueue::Interrupt() {
    m_posted.Set();
}
