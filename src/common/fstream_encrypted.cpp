#include "common/fstream_encrypted.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <vector>

#if defined(_WIN32)
#include <share.h>
#endif

namespace {

constexpr size_t kReadBlock = 64 * 1024;

std::FILE* OpenShared(const std::string& name, const char* mode) {
#if defined(_WIN32)
    return _fsopen(name.c_str(), mode, _SH_DENYNO);
#else
    return std::fopen(name.c_str(), mode);
#endif
}

}  // namespace

fstream_encrypted::~fstream_encrypted() {
    Close();
}

bool fstream_encrypted::Open(const std::string& name, Mode mode, bool scrambled) {
    Close();
    m_eof = false;
    m_fail = false;
    m_error = false;
    m_wroteAny = false;
    m_openError = 0;
    m_mode = mode;
    m_scrambled = false;
    m_readPos = 0;
    m_readEnd = 0;

    errno = 0;
    m_file = OpenShared(name, mode == kRead ? "rb" : "wb");
    if (m_file == nullptr) {
        m_openError = errno;
        m_fail = true;
        return false;
    }

    if (mode == kRead) {
        if (!m_readBuffer) m_readBuffer = std::make_unique_for_overwrite<char[]>(kReadBlock);
        if (!FillBuffer() && m_error) {
            m_openError = errno != 0 ? errno : EIO;
            Close();
            m_fail = true;
            return false;
        }
        if (m_readEnd >= sizeof(kMagic) &&
            std::memcmp(m_readBuffer.get(), kMagic, sizeof(kMagic)) == 0) {
            m_scrambled = true;
            m_readPos = sizeof(kMagic);
        }
        return true;
    }

    if (scrambled) {
        // The magic itself is written as is; only the lines are scrambled.
        if (std::fwrite(kMagic, 1, sizeof(kMagic), m_file) != sizeof(kMagic)) {
            Close();
            m_fail = true;
            return false;
        }
        m_scrambled = true;
        m_wroteAny = true;
    }
    return true;
}

void fstream_encrypted::Close() {
    if (m_file != nullptr) {
        if (std::fclose(m_file) != 0 && m_mode == kWrite) m_fail = true;
        m_file = nullptr;
    }
}

bool fstream_encrypted::FillBuffer() {
    m_readPos = 0;
    m_readEnd = std::fread(m_readBuffer.get(), 1, kReadBlock, m_file);
    if (m_readEnd == 0 && std::ferror(m_file)) m_error = true;
    return m_readEnd != 0;
}

bool fstream_encrypted::ReadLine(std::string& line, size_t maxLength) {
    line.clear();
    if (m_file == nullptr || m_mode != kRead || m_eof || m_fail) {
        m_fail = true;
        return false;
    }

    const char delimiter = static_cast<char>(m_scrambled ? kScrambledLineEnd : '\n');
    bool extracted = false;
    for (;;) {
        if (m_readPos == m_readEnd && !FillBuffer()) {
            m_eof = true;
            if (!extracted || m_error) m_fail = true;
            break;
        }
        const char* const begin = m_readBuffer.get() + m_readPos;
        const size_t available = m_readEnd - m_readPos;
        const void* found = std::memchr(begin, delimiter, available);
        const size_t length = found != nullptr
                                  ? static_cast<size_t>(static_cast<const char*>(found) - begin)
                                  : available;
        extracted = true;
        if (length > maxLength - line.size()) {
            const size_t fits = maxLength - line.size();
            line.append(begin, fits);
            m_readPos += fits;
            m_fail = true;
            m_error = true;
            break;
        }
        line.append(begin, length);
        m_readPos += length;
        if (found != nullptr) {
            ++m_readPos;  // the line end is consumed, not stored
            break;
        }
    }
    if (m_scrambled) Scramble(line.data(), line.size());
    return !m_fail;
}

bool fstream_encrypted::WriteLine(const char* format, ...) {
    if (m_file == nullptr || m_mode != kWrite) {
        m_fail = true;
        return false;
    }

    // One spare byte for the line feed that may be appended.
    char stackBuffer[kLineSize + 1];
    std::vector<char> heapBuffer;
    char* text = stackBuffer;

    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(stackBuffer, kLineSize, format, args);
    va_end(args);
    if (needed < 0) {
        va_end(copy);
        m_fail = true;
        return false;
    }
    size_t length = static_cast<size_t>(needed);
    if (length >= kLineSize) {
        // Longer than a line should be: written whole rather than cut, so that
        // a long comment cannot swallow the key line that follows it.
        heapBuffer.resize(length + 2);
        std::vsnprintf(heapBuffer.data(), length + 1, format, copy);
        text = heapBuffer.data();
    }
    va_end(copy);

    if (length == 0 || (text[length - 1] != '\n' && text[length - 1] != '\r')) {
        text[length++] = '\n';
    }
    return WriteRaw(text, length);
}

bool fstream_encrypted::WriteRaw(char* data, size_t length) {
    if (!m_wroteAny && !m_scrambled && length >= sizeof(kMagic) &&
        std::memcmp(data, kMagic, sizeof(kMagic)) == 0) {
        // A plain file must not start with the magic, or it would read back as
        // scrambled: start it with an empty line, which readers skip.
        if (std::fputc('\n', m_file) == EOF) {
            m_fail = true;
            return false;
        }
    }
    if (m_scrambled) Scramble(data, length);
    m_wroteAny = true;
    if (std::fwrite(data, 1, length, m_file) != length) {
        m_fail = true;
        return false;
    }
    return true;
}

void fstream_encrypted::Scramble(char* data, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        data[i] = static_cast<char>(ScrambleByte(static_cast<unsigned char>(data[i])));
    }
}
