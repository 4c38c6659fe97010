#include "common/CallContext.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

unsigned char* CCallContext::Allocate(size_t n) {
    try {
        auto block = std::make_shared<unsigned char[]>(n == 0 ? 1 : n);
        m_owned.push_back(block);
        return block.get();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

char* CCallContext::CopyString(const char* text) {
    if (text == nullptr) return nullptr;
    const size_t n = std::strlen(text) + 1;
    auto* copy = reinterpret_cast<char*>(Allocate(n));
    if (copy != nullptr) std::memcpy(copy, text, n);
    return copy;
}

int CCallContext::ClientFault(const char* text) {
    m_faultKind = FaultKind::Client;
    m_faultText = text != nullptr ? text : "";
    return kClientFault;
}

int CCallContext::ServerFault(const char* text) {
    m_faultKind = FaultKind::Server;
    m_faultText = text != nullptr ? text : "";
    return kServerFault;
}

const char* BuildMsgString(CCallContext* context, const char* format, ...) {
    static const char kAllocationError[] = "BuildMsgString: memory allocation error";
    if (context == nullptr) return kAllocationError;
    auto* block = reinterpret_cast<char*>(context->Allocate(CCallContext::kMessageBlockSize));
    if (block == nullptr) return kAllocationError;
    va_list args;
    va_start(args, format);
    std::vsnprintf(block, CCallContext::kMessageBlockSize, format, args);
    va_end(args);
    return block;
}

void CCallContext::Release() {
    m_owned.clear();
    m_faultKind = FaultKind::None;
    m_faultText.clear();
}
