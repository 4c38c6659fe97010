#include "common/DataFile.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string_view>
#include <system_error>

#include "common/Log.h"
#include "common/Text.h"
#include "common/fstream_encrypted.h"

namespace {

std::string Trim(std::string_view text) {
    const size_t first = text.find_first_not_of(CDataFile::kBlanks);
    if (first == std::string_view::npos) return std::string();
    const size_t last = text.find_last_not_of(CDataFile::kBlanks);
    return std::string(text.substr(first, last - first + 1));
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Skips leading blanks and one sign, as atoi and atof do.
const char* SkipBlanksAndSign(const char* p, const char* end, bool& negative) {
    while (p < end && IsSpace(*p)) ++p;
    negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    return p;
}

// Like atoi, without undefined behaviour: out-of-range values are clamped.
int ParseInt(const std::string& text) {
    const char* const end = text.data() + text.size();
    bool negative;
    const char* p = SkipBlanksAndSign(text.data(), end, negative);
    constexpr int64_t kLimit = static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1;
    int64_t magnitude = 0;
    for (; p < end && IsDigit(*p); ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > kLimit) magnitude = kLimit;
    }
    const int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    return static_cast<int>(value);
}

// For a decimal number that is out of the double range: true when it is too
// large, false when it is too small. text is what from_chars matched.
bool IsHuge(const char* p, const char* end) {
    int64_t magnitude = 0;  // the value is about 10^(magnitude + exponent)
    int64_t fractionZeros = 0;
    bool inFraction = false;
    bool seenNonZero = false;
    for (; p < end && (IsDigit(*p) || *p == '.'); ++p) {
        if (*p == '.') {
            inFraction = true;
        } else if (!seenNonZero) {
            if (*p != '0') {
                seenNonZero = true;
                magnitude = inFraction ? -(fractionZeros + 1) : 0;
            } else if (inFraction) {
                ++fractionZeros;
            }
        } else if (!inFraction && magnitude < 1000000000) {
            ++magnitude;
        }
    }
    int64_t exponent = 0;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool negative = false;
        if (p < end && (*p == '+' || *p == '-')) {
            negative = *p == '-';
            ++p;
        }
        for (; p < end && IsDigit(*p); ++p) {
            if (exponent < 1000000000) exponent = exponent * 10 + (*p - '0');
        }
        if (negative) exponent = -exponent;
    }
    return magnitude + exponent > 0;
}

// Like (float)atof in the "C" locale, independent of the process locale.
float ParseFloat(const std::string& text) {
    const char* const end = text.data() + text.size();
    bool negative;
    const char* p = SkipBlanksAndSign(text.data(), end, negative);
    if (p < end && (*p == '+' || *p == '-')) return 0.0f;  // a second sign: no number

    double value = 0.0;
    const auto [matchEnd, error] = std::from_chars(p, end, value, std::chars_format::general);
    if (error == std::errc::invalid_argument) {
        return 0.0f;
    }
    if (error == std::errc::result_out_of_range) {
        value = IsHuge(p, matchEnd) ? std::numeric_limits<double>::infinity() : 0.0;
    }
    float result;
    if (std::isnan(value)) {
        result = std::numeric_limits<float>::quiet_NaN();
    } else if (value > static_cast<double>(std::numeric_limits<float>::max())) {
        result = std::numeric_limits<float>::infinity();
    } else {
        result = static_cast<float>(value);
    }
    return negative ? -result : result;
}

}  // namespace

CDataFile::CDataFile() {
    m_sections.push_back(Section{});
}

CDataFile::CDataFile(const std::string& fileName) : m_fileName(fileName) {
    m_sections.push_back(Section{});
}

CDataFile::~CDataFile() {
    if (!m_dirty) return;
    try {
        Save();
    } catch (...) {
        // A destructor must not throw; the changes are lost.
    }
}

bool CDataFile::Load(const std::string& fileName) {
    m_fileName = fileName;

    fstream_encrypted file;
    if (!file.Open(fileName, fstream_encrypted::kRead)) {
        CLog::Instance().Debug("CDataFile::Load: cannot open %s", fileName.c_str());
        return false;
    }

    const int savedFlags = m_flags;
    const bool savedDirty = m_dirty;
    m_flags |= kAutoCreateSections | kAutoCreateKeys;

    std::string current;  // the unnamed section
    std::string comment;
    char buffer[fstream_encrypted::kLineSize];
    const std::string_view indicators(kCommentIndicators);
    bool done = false;
    while (!done) {
        file.ReadLine(buffer);
        done = file.eof() || file.fail();

        std::string line = Trim(buffer);
        if (line.empty()) continue;

        if (indicators.find(line[0]) != std::string_view::npos) {
            comment += '\n';
            comment += line;
        } else if (line[0] == '[') {
            line.erase(0, 1);
            const size_t close = line.find_last_of(']');
            if (close != std::string::npos) line.erase(close);
            CreateSection(line, comment);
            current = line;
            comment.clear();
        } else {
            const size_t separator = line.find_first_of(kSeparators);
            if (separator == std::string::npos) continue;
            const std::string key = Trim(std::string_view(line).substr(0, separator));
            const std::string value = line.substr(separator + 1);
            if (!key.empty() && !value.empty()) {
                SetValue(key, value, comment, current);
                comment.clear();
            }
        }
    }

    m_flags = savedFlags;
    m_dirty = savedDirty;
    file.Close();
    return true;
}

bool CDataFile::Save() {
    if (KeyCount() == 0 && SectionCount() <= 1) {
        CLog::Instance().Debug("CDataFile::Save: nothing to save to %s", m_fileName.c_str());
        return false;
    }
    if (m_fileName.empty()) {
        CLog::Instance().Warning("CDataFile::Save: no file name");
        return false;
    }

    fstream_encrypted file;
    if (!file.Open(m_fileName, fstream_encrypted::kWrite)) {
        CLog::Instance().Warning("CDataFile::Save: cannot open %s", m_fileName.c_str());
        return false;
    }

    for (const Section& section : m_sections) {
        bool wroteComment = false;
        if (!section.comment.empty()) {
            file.WriteLine("\n%s", CommentText(section.comment).c_str());
            wroteComment = true;
        }
        if (!section.name.empty()) {
            file.WriteLine("%s[%s]", wroteComment ? "" : "\n", section.name.c_str());
        }
        for (const Key& key : section.keys) {
            if (key.name.empty() || key.value.empty()) continue;
            if (!key.comment.empty()) {
                file.WriteLine("\n%s\n%s%c%s", CommentText(key.comment).c_str(), key.name.c_str(),
                               kSeparators[0], key.value.c_str());
            } else {
                file.WriteLine("%s%c%s", key.name.c_str(), kSeparators[0], key.value.c_str());
            }
        }
    }

    file.Close();
    if (file.fail()) {
        CLog::Instance().Warning("CDataFile::Save: cannot write %s", m_fileName.c_str());
        return false;
    }
    m_dirty = false;
    return true;
}

std::string CDataFile::GetValue(const std::string& key, const std::string& section) const {
    const Section* s = FindSection(section);
    if (s == nullptr) return std::string();
    const Key* k = FindKey(*s, key);
    return k != nullptr ? k->value : std::string();
}

int CDataFile::GetInt(const std::string& key, const std::string& section) const {
    const std::string value = GetValue(key, section);
    if (value.empty()) return kIntMissing;
    return ParseInt(value);
}

float CDataFile::GetFloat(const std::string& key, const std::string& section) const {
    const std::string value = GetValue(key, section);
    if (value.empty()) return kFloatMissing;
    return ParseFloat(value);
}

bool CDataFile::SetValue(const std::string& key, const std::string& value,
                         const std::string& comment, const std::string& section) {
    Section* s = FindSection(section);
    if (s == nullptr) {
        if ((m_flags & kAutoCreateSections) == 0) return false;
        CreateSection(section);
        s = FindSection(section);
        if (s == nullptr) return false;
    }

    Key* k = FindKey(*s, key);
    if (k == nullptr) {
        if (key.empty() || (m_flags & kAutoCreateKeys) == 0) return false;
        s->keys.push_back(Key{key, value, comment});
    } else {
        k->value = value;
        k->comment = comment;
    }
    m_dirty = true;
    return true;
}

bool CDataFile::SetInt(const std::string& key, int value, const std::string& comment,
                       const std::string& section) {
    char text[16];
    std::snprintf(text, sizeof(text), "%d", value);
    return SetValue(key, text, comment, section);
}

bool CDataFile::CreateSection(const std::string& name, const std::string& comment) {
    if (FindSection(name) != nullptr) return false;
    m_sections.push_back(Section{name, comment, {}});
    m_dirty = true;
    return true;
}

size_t CDataFile::KeyCount() const {
    size_t count = 0;
    for (const Section& section : m_sections) count += section.keys.size();
    return count;
}

std::string CDataFile::CommentText(const std::string& comment) {
    std::string text = Trim(comment);
    if (text.empty()) return text;
    if (std::string_view(kCommentIndicators).find(text[0]) == std::string_view::npos) {
        text.insert(0, 1, ' ');
        text.insert(0, 1, kCommentIndicators[0]);
    }
    return text;
}

CDataFile::Section* CDataFile::FindSection(const std::string& name) {
    for (Section& section : m_sections) {
        if (EqualNoCase(section.name, name)) return &section;
    }
    return nullptr;
}

const CDataFile::Section* CDataFile::FindSection(const std::string& name) const {
    for (const Section& section : m_sections) {
        if (EqualNoCase(section.name, name)) return &section;
    }
    return nullptr;
}

CDataFile::Key* CDataFile::FindKey(Section& section, const std::string& name) {
    for (Key& key : section.keys) {
        if (EqualNoCase(key.name, name)) return &key;
    }
    return nullptr;
}

const CDataFile::Key* CDataFile::FindKey(const Section& section, const std::string& name) {
    for (const Key& key : section.keys) {
        if (EqualNoCase(key.name, name)) return &key;
    }
    return nullptr;
}
