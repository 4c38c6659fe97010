#pragma once

#include <memory>

// A recursive lock: the thread that holds it may enter again. Every lock of the
// library is one of these.
class CCritSec {
public:
    CCritSec();
    ~CCritSec();
    CCritSec(const CCritSec&) = delete;
    CCritSec& operator=(const CCritSec&) = delete;

    void Enter();
    void Leave();
    bool TryEnter();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// Holds a CCritSec for the lifetime of the scope.
class CCritSecLock {
public:
    explicit CCritSecLock(CCritSec& cs) : m_cs(cs) { m_cs.Enter(); }
    ~CCritSecLock() { m_cs.Leave(); }
    CCritSecLock(const CCritSecLock&) = delete;
    CCritSecLock& operator=(const CCritSecLock&) = delete;

private:
    CCritSec& m_cs;
};
