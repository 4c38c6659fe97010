#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "common/Log.h"  // KVT_PRINTF

// A line-oriented file stream for the INI files. Files are opened in binary
// mode, so the bytes are the same on every platform.
//
// Reading: a file whose first three bytes are the magic "ini" is scrambled
// (every byte has its two 4-bit halves exchanged, 0xA0 ends a line); any other
// file is plain text read from its first byte.
//
// Writing: by default a plain file without the magic is written, so that users
// can edit it and it reads back unchanged. Opening with `scrambled` set writes
// the magic followed by scrambled lines instead.
class fstream_encrypted {
public:
    enum Mode { kRead, kWrite };

    // WriteLine formats into a buffer of this size first; longer lines take a
    // heap buffer. Reading has no line limit of its own.
    static constexpr size_t kLineSize = 512;
    static constexpr char kMagic[3] = {'i', 'n', 'i'};
    // The scrambled form of a line feed.
    static constexpr unsigned char kScrambledLineEnd = 0xA0;

    fstream_encrypted() = default;
    ~fstream_encrypted();
    fstream_encrypted(const fstream_encrypted&) = delete;
    fstream_encrypted& operator=(const fstream_encrypted&) = delete;

    // Opens the file (shared for reading and writing by others). For writing
    // the file is created or truncated; `scrambled` only applies to writing.
    // On failure OpenError() holds the errno value.
    bool Open(const std::string& name, Mode mode, bool scrambled = false);
    int OpenError() const { return m_openError; }
    bool IsOpen() const { return m_file != nullptr; }
    void Close();

    // Reads one line into line (the line end not stored). Like
    // std::getline: end of file sets eof(); no character extracted sets
    // fail(). A line longer than maxLength, or a read error, sets fail() and
    // error(); what was read of it is kept. Returns !fail().
    bool ReadLine(std::string& line, size_t maxLength = SIZE_MAX);

    // Formats printf-style and writes the text, followed by a line feed unless
    // it already ends in a line feed or carriage return. Returns false on a
    // write error (which also sets fail()).
    bool WriteLine(const char* format, ...) KVT_PRINTF(2, 3);

    bool IsScrambled() const { return m_scrambled; }
    bool eof() const { return m_eof; }
    bool fail() const { return m_fail; }
    bool error() const { return m_error; }
    bool good() const { return m_file != nullptr && !m_eof && !m_fail; }

    // Exchanges the 4-bit halves of every byte; its own inverse.
    static void Scramble(char* data, size_t length);
    static unsigned char ScrambleByte(unsigned char c) {
        return static_cast<unsigned char>((c << 4) | (c >> 4));
    }

private:
    bool WriteRaw(char* data, size_t length);
    bool FillBuffer();

    std::FILE* m_file = nullptr;
    // Read ahead in blocks: per-character reads made large files slow.
    std::unique_ptr<char[]> m_readBuffer;
    size_t m_readPos = 0;
    size_t m_readEnd = 0;
    Mode m_mode = kRead;
    bool m_scrambled = false;
    bool m_eof = false;
    bool m_fail = false;
    bool m_error = false;
    bool m_wroteAny = false;
    int m_openError = 0;
};
