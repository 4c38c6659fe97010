#pragma once

#include <cstddef>
#include <cstdio>
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

    // Buffer size of ReadLine and WriteLine; a line holds at most 511 characters.
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
    bool Open(const std::string& name, Mode mode, bool scrambled = false);
    bool IsOpen() const { return m_file != nullptr; }
    void Close();

    // Reads one line into buffer (NUL-terminated, the line end not stored), at
    // most kLineSize - 1 characters. Like std::istream::getline: end of file
    // sets eof(); no character extracted, or a line that does not fit, sets
    // fail(). Returns !fail().
    bool ReadLine(char buffer[kLineSize]);

    // Formats printf-style and writes the text, followed by a line feed unless
    // it already ends in a line feed or carriage return. Returns false on a
    // write error (which also sets fail()).
    bool WriteLine(const char* format, ...) KVT_PRINTF(2, 3);

    bool IsScrambled() const { return m_scrambled; }
    bool eof() const { return m_eof; }
    bool fail() const { return m_fail; }
    bool good() const { return m_file != nullptr && !m_eof && !m_fail; }

    // Exchanges the 4-bit halves of every byte; its own inverse.
    static void Scramble(char* data, size_t length);
    static unsigned char ScrambleByte(unsigned char c) {
        return static_cast<unsigned char>((c << 4) | (c >> 4));
    }

private:
    bool WriteRaw(char* data, size_t length);

    std::FILE* m_file = nullptr;
    Mode m_mode = kRead;
    bool m_scrambled = false;
    bool m_eof = false;
    bool m_fail = false;
    bool m_wroteAny = false;
};
