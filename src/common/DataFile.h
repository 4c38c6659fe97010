#pragma once

#include <cfloat>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

class fstream_encrypted;

// An INI file held in memory: sections of keys, both in file order. The first
// section is always the unnamed one, which holds the keys that come before any
// section header. Section and key names compare without regard to case.
//
// Syntax: lines beginning with ';' or '#' are comments and belong to the next
// section header or key; "[name]" starts a section; "key=value" or "key:value"
// is a key. Lines may be of any length. Files are read and written through
// fstream_encrypted.
//
// Not thread-safe: one object per configuration step, used on one thread.
class CDataFile {
public:
    // Flags.
    static constexpr int kAutoCreateSections = 2;
    static constexpr int kAutoCreateKeys = 4;
    static constexpr int kDefaultFlags = kAutoCreateSections | kAutoCreateKeys;

    // The values of GetInt and GetFloat for an empty or missing key.
    static constexpr int kIntMissing = INT32_MIN;
    static constexpr float kFloatMissing = FLT_MIN;  // 1.17549435e-38f, bits 0x00800000

    static constexpr const char* kCommentIndicators = ";#";
    static constexpr const char* kSeparators = "=:";
    static constexpr const char* kBlanks = " \t\n\r";

    // No settings file comes near this; a larger one is refused rather than
    // held in memory (and it would hold up the start).
    static constexpr size_t kMaxFileSize = 8u << 20;

    enum class LoadStatus {
        kLoaded,
        kMissing,     // no such file
        kUnreadable,  // it exists but cannot be opened or read
        kUnparsable,  // binary content, or larger than kMaxFileSize
    };

    struct Key {
        std::string name;
        std::string value;
        std::string comment;
    };

    struct Section {
        std::string name;
        std::string comment;
        std::vector<Key> keys;
    };

    CDataFile();
    // Remembers the file name (for Save) without reading the file.
    explicit CDataFile(const std::string& fileName);
    // Saves first when there are unsaved changes.
    ~CDataFile();

    CDataFile(const CDataFile&) = delete;
    CDataFile& operator=(const CDataFile&) = delete;

    // Remembers the name and merges the file's contents into this object.
    // Returns false when the file cannot be opened (a missing file included),
    // cannot be read to its end or is not text (control characters other
    // than blanks, or larger than kMaxFileSize); the object then keeps what
    // it held before. The name is remembered all the same, so a later Save
    // creates the file. LastLoadStatus and LoadProblem tell why. Loading
    // does not count as a change: a loaded object is not dirty unless it
    // already was.
    bool Load(const std::string& fileName);
    LoadStatus LastLoadStatus() const { return m_loadStatus; }
    // What was wrong with the file, in words; empty after a successful load.
    const std::string& LoadProblem() const { return m_loadProblem; }
    // Writes the file (plain text). Returns false when there is nothing to
    // write, the file name is empty or the file cannot be opened. Clears the
    // dirty flag on success.
    bool Save();

    // Empty text when the section or key does not exist.
    std::string GetValue(const std::string& key, const std::string& section = "") const;
    // Decimal integer (leading blanks skipped, optional sign, stops at the first
    // non-digit, clamped to the 32-bit range); kIntMissing when empty or missing.
    int GetInt(const std::string& key, const std::string& section = "") const;
    // Decimal floating-point number; kFloatMissing when empty or missing.
    float GetFloat(const std::string& key, const std::string& section = "") const;

    // Stores value and comment (the comment replaces the old one, even when
    // empty). Missing sections and keys are created (appended) only when the
    // matching auto-create flag is set; otherwise the call fails.
    bool SetValue(const std::string& key, const std::string& value, const std::string& comment = "",
                  const std::string& section = "");
    // SetValue with the integer formatted as "%d".
    bool SetInt(const std::string& key, int value, const std::string& comment = "",
                const std::string& section = "");
    // Appends a section unless one of that name exists. True when appended.
    bool CreateSection(const std::string& name, const std::string& comment = "");

    int GetFlags() const { return m_flags; }
    void SetFlags(int flags) { m_flags = flags; }
    bool IsDirty() const { return m_dirty; }
    const std::string& GetFileName() const { return m_fileName; }
    void SetFileName(const std::string& fileName) { m_fileName = fileName; }

    // Number of sections, the unnamed one included (so never below 1).
    size_t SectionCount() const { return m_sections.size(); }
    // Number of keys in all sections.
    size_t KeyCount() const;
    const std::vector<Section>& Sections() const { return m_sections; }

    // The form in which a comment is written: trimmed of blanks, with "; " in
    // front unless it begins with a comment indicator; empty stays empty.
    static std::string CommentText(const std::string& comment);

private:
    using Index = std::unordered_map<std::string, size_t>;

    // Positions in m_sections and in a section's keys (npos when missing),
    // found through indexes by case-folded name so that loading a file with
    // many keys stays linear.
    size_t FindSection(const std::string& name) const;
    size_t FindKey(size_t section, const std::string& name) const;
    void AddSection(const std::string& name, const std::string& comment);
    bool ParseLines(fstream_encrypted& file);

    std::string m_fileName;
    std::vector<Section> m_sections;
    Index m_sectionIndex;
    std::vector<Index> m_keyIndex;  // one per section
    int m_flags = kDefaultFlags;
    bool m_dirty = false;
    LoadStatus m_loadStatus = LoadStatus::kLoaded;
    std::string m_loadProblem;
};
