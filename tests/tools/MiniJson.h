#pragma once

#include <algorithm>
#include <cctype>
#include <regex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// A strict JSON reader for checking kvt's --json output: it refuses anything
// that is not one complete JSON value (RFC 8259).
namespace kvt_test {

struct Json {
    bool boolean = false;
    double number = 0;
    std::string text;
    // An array's elements, or an object's values with keys[i] naming items[i].
    std::vector<Json> items;
    std::vector<std::string> keys;

    const Json& operator[](const std::string& key) const {
        const auto found = std::find(keys.begin(), keys.end(), key);
        if (found == keys.end()) throw std::out_of_range("no key " + key);
        return items[static_cast<size_t>(found - keys.begin())];
    }
    const Json& operator[](size_t index) const { return items.at(index); }
};

class JsonReader {
public:
    // Throws std::runtime_error with the offset of the first fault.
    static Json Parse(const std::string& text) {
        JsonReader reader(text);
        Json value = reader.Value();
        if (reader.Next() != '\0') reader.Fail("text after the value");
        return value;
    }

private:
    explicit JsonReader(const std::string& text) : m_text(text) {}

    [[noreturn]] void Fail(const std::string& what) const {
        throw std::runtime_error("JSON: " + what + " at offset " + std::to_string(m_pos));
    }
    // Skips white space; the next character, or '\0' at the end.
    char Next() {
        m_pos = std::min(m_text.find_first_not_of(" \t\r\n", m_pos), m_text.size());
        return m_pos < m_text.size() ? m_text[m_pos] : '\0';
    }
    bool Take(char c) {
        if (Next() != c) return false;
        ++m_pos;
        return true;
    }
    void Expect(char c) {
        if (!Take(c)) Fail(std::string("expected '") + c + "'");
    }
    // The text that `pattern` matches at the next character.
    std::string Token(const std::regex& pattern, const char* what) {
        Next();
        std::smatch match;
        if (!std::regex_search(m_text.begin() + static_cast<long>(m_pos), m_text.end(), match,
                               pattern, std::regex_constants::match_continuous))
            Fail(what);
        m_pos += static_cast<size_t>(match.length(0));
        return match.str(0);
    }

    Json Value() {
        Json v;
        const bool object = Take('{');
        if (object || Take('[')) {
            const char close = object ? '}' : ']';
            if (Take(close)) return v;
            do {
                if (object) {
                    v.keys.push_back(String());
                    Expect(':');
                }
                v.items.push_back(Value());
            } while (Take(','));
            Expect(close);
        } else if (Next() == '"') {
            v.text = String();
        } else {
            static const std::regex kWord(
                R"(true|false|null|-?(0|[1-9]\d*)(\.\d+)?([eE][+-]?\d+)?)");
            const std::string word = Token(kWord, "expected a value");
            v.boolean = word == "true";
            if (std::isdigit(static_cast<unsigned char>(word.back()))) v.number = std::stod(word);
        }
        return v;
    }

    std::string String() {
        static const std::regex kString(R"("([^"\\\x00-\x1f]|\\["\\/bfnrt]|\\u[0-9a-fA-F]{4})*")");
        const std::string quoted = Token(kString, "expected a string");
        std::string out;
        for (size_t i = 1; i + 1 < quoted.size(); ++i) {
            if (quoted[i] != '\\') {
                out += quoted[i];
            } else if (quoted[++i] == 'u') {
                const unsigned long code = std::stoul(quoted.substr(i + 1, 4), nullptr, 16);
                out += code < 0x80 ? static_cast<char>(code) : '?';
                i += 4;
            } else {
                out += "\"\\/\b\f\n\r\t"[std::string_view("\"\\/bfnrt").find(quoted[i])];
            }
        }
        return out;
    }

    const std::string& m_text;
    size_t m_pos = 0;
};

}  // namespace kvt_test
