#pragma once

#include <cstdint>
#include <string>

#include "image/PLObject.h"

// Error codes of the bitmap classes.
enum PLErrorCode : int32_t {
    kPLErrWrongSignature = 1,
    kPLErrFormatUnknown = 2,
    kPLErrFormatNotSupported = 6,
    kPLErrInternal = 7,
    kPLErrBadSize = 9,
    kPLErrNoMemory = 10,
    kPLErrEndOfFile = 11,
};

// What the bitmap classes throw. Deliberately not a std::exception: callers
// that catch standard library failures (live finger detection) must let these
// through to the capture's own handler.
class PLTextException : public PLObject {
public:
    PLTextException(int32_t code, const char* text) : m_code(code), m_text(text) {}

    int32_t GetCode() const { return m_code; }
    const char* GetText() const { return m_text.c_str(); }

private:
    int32_t m_code;
    std::string m_text;
};
