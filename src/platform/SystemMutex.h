#pragma once

#include <memory>
#include <string>

namespace platform {

// A named lock shared by every process of the machine (of the data folder,
// when KVT_DATA_DIR is set).
class CSystemMutex {
public:
    enum class Result { Created, AlreadyExists, Failed };

    CSystemMutex();
    ~CSystemMutex();  // releases the name
    CSystemMutex(const CSystemMutex&) = delete;
    CSystemMutex& operator=(const CSystemMutex&) = delete;

    // Creates the mutex under name. AlreadyExists means another holder (in this
    // or another process) has it; the object then holds nothing.
    Result Create(const std::string& name);
    void Close();
    bool IsHeld() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace platform
