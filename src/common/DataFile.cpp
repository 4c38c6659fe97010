#include "common/DataFile.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string_view>
#include <system_error>

#include "common/Log.h"
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

// The key of the lookup indexes: names compare as EqualNoCase compares them.
std::string Fold(std::string_view name) {
    std::string folded(name);
    for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return folded;
}

// Text files hold no control characters other than blanks; anything else is
// binary content that must not be taken for settings.
bool IsText(std::string_view line) {
    for (const char c : line) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && !IsSpace(c)) || u == 0x7F) return false;
    }
    return true;
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
    AddSection("", "");
}

CDataFile::CDataFile(const std::string& fileName) : m_fileName(fileName) {
    AddSection("", "");
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
    m_loadStatus = LoadStatus::kLoaded;
    m_loadProblem.clear();

    fstream_encrypted file;
    if (!file.Open(fileName, fstream_encrypted::kRead)) {
        const int error = file.OpenError();
        m_loadStatus = error == ENOENT ? LoadStatus::kMissing : LoadStatus::kUnreadable;
        m_loadProblem = std::generic_category().message(error);
        CLog::Instance().Debug("CDataFile::Load: cannot open %s (%s)", fileName.c_str(),
                               m_loadProblem.c_str());
        return false;
    }

    // A file that turns out to be unusable part-way leaves nothing behind.
    std::vector<Section> savedSections = m_sections;
    Index savedSectionIndex = m_sectionIndex;
    std::vector<Index> savedKeyIndex = m_keyIndex;
    const int savedFlags = m_flags;
    const bool savedDirty = m_dirty;
    m_flags |= kAutoCreateSections | kAutoCreateKeys;

    const bool parsed = ParseLines(file);

    m_flags = savedFlags;
    m_dirty = savedDirty;
    file.Close();
    if (parsed) return true;

    m_sections = std::move(savedSections);
    m_sectionIndex = std::move(savedSectionIndex);
    m_keyIndex = std::move(savedKeyIndex);
    CLog::Instance().Warning("CDataFile::Load: %s: %s", fileName.c_str(), m_loadProblem.c_str());
    return false;
}

bool CDataFile::ParseLines(fstream_encrypted& file) {
    std::string current;  // the unnamed section
    std::string comment;
    std::string raw;
    size_t consumed = 0;
    size_t lineNumber = 0;
    const std::string_view indicators(kCommentIndicators);
    bool done = false;
    while (!done) {
        const size_t budget = consumed < kMaxFileSize ? kMaxFileSize - consumed : 0;
        file.ReadLine(raw, budget);
        consumed += raw.size() + (file.eof() ? 0 : 1);  // the line end, unless the file ended
        ++lineNumber;
        done = file.eof() || file.fail();

        if (consumed > kMaxFileSize) {
            m_loadStatus = LoadStatus::kUnparsable;
            m_loadProblem = "larger than " + std::to_string(kMaxFileSize) + " bytes";
            return false;
        }
        if (file.error()) {
            m_loadStatus = LoadStatus::kUnreadable;
            m_loadProblem = "read error in line " + std::to_string(lineNumber);
            return false;
        }
        if (!IsText(raw)) {
            m_loadStatus = LoadStatus::kUnparsable;
            m_loadProblem =
                "not a text file: control characters in line " + std::to_string(lineNumber);
            return false;
        }

        std::string line = Trim(raw);
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
    const size_t s = FindSection(section);
    if (s == std::string::npos) return std::string();
    const size_t k = FindKey(s, key);
    return k != std::string::npos ? m_sections[s].keys[k].value : std::string();
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
    size_t s = FindSection(section);
    if (s == std::string::npos) {
        if ((m_flags & kAutoCreateSections) == 0) return false;
        AddSection(section, "");
        s = m_sections.size() - 1;
    }

    std::vector<Key>& keys = m_sections[s].keys;
    const size_t k = FindKey(s, key);
    if (k == std::string::npos) {
        if (key.empty() || (m_flags & kAutoCreateKeys) == 0) return false;
        m_keyIndex[s].emplace(Fold(key), keys.size());
        keys.push_back(Key{key, value, comment});
    } else {
        keys[k].value = value;
        keys[k].comment = comment;
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
    if (FindSection(name) != std::string::npos) return false;
    AddSection(name, comment);
    m_dirty = true;
    return true;
}

void CDataFile::AddSection(const std::string& name, const std::string& comment) {
    m_sectionIndex.emplace(Fold(name), m_sections.size());
    m_sections.push_back(Section{name, comment, {}});
    m_keyIndex.emplace_back();
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

size_t CDataFile::FindSection(const std::string& name) const {
    const auto found = m_sectionIndex.find(Fold(name));
    return found != m_sectionIndex.end() ? found->second : std::string::npos;
}

size_t CDataFile::FindKey(size_t section, const std::string& name) const {
    const Index& keys = m_keyIndex[section];
    const auto found = keys.find(Fold(name));
    return found != keys.end() ? found->second : std::string::npos;
}
