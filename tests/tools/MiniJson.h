#pragma once

#include <algorithm>
#include <cctype>
#include <regex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A strict JSON reader for checking kvt's --json output: it refuses anything
// that is not one complete JSON value (RFC 8259).
namespace kvt_test {

struct Json {
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    // An object's members: keys[i] names values[i]. (A vector of pairs would
    // need Json complete here, which not every standard library allows.)
    std::vector<std::string> keys;
    std::vector<Json> values;

    const Json& operator[](const std::string& key) const {
        const auto found = std::find(keys.begin(), keys.end(), key);
        if (found == keys.end()) throw std::out_of_range("no key " + key);
        return values[static_cast<size_t>(found - keys.begin())];
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
        while (m_pos < m_text.size() &&
               std::string_view(" \t\r\n").find(m_text[m_pos]) != std::string_view::npos)
            ++m_pos;
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
    bool Word(const std::string& word) {
        if (m_text.compare(m_pos, word.size(), word) != 0) return false;
        m_pos += word.size();
        return true;
    }

    Json Value() {
        Json v;
        const char next = Next();
        if (Take('{')) {
            if (Take('}')) return v;
            do {
                std::string key = String();
                Expect(':');
                v.keys.push_back(std::move(key));
                v.values.push_back(Value());
            } while (Take(','));
            Expect('}');
        } else if (Take('[')) {
            if (Take(']')) return v;
            do v.items.push_back(Value());
            while (Take(','));
            Expect(']');
        } else if (next == '"') {
            v.text = String();
        } else if (Word("true") || Word("false")) {
            v.boolean = next == 't';
        } else if (!Word("null")) {
            v.number = Number();
        }
        return v;
    }

    std::string String() {
        if (!Take('"')) Fail("expected a string");
        static const std::string kEscapes = "\"\\/bfnrt", kMeanings = "\"\\/\b\f\n\r\t";
        std::string out;
        for (;;) {
            if (m_pos >= m_text.size()) Fail("unterminated string");
            const unsigned char c = static_cast<unsigned char>(m_text[m_pos++]);
            if (c == '"') return out;
            if (c < 0x20) Fail("control character in a string");
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            const char e = m_pos < m_text.size() ? m_text[m_pos++] : '\0';
            if (e == 'u') {
                if (m_pos + 4 > m_text.size() ||
                    !std::all_of(m_text.begin() + m_pos, m_text.begin() + m_pos + 4,
                                 [](unsigned char h) { return std::isxdigit(h); }))
                    Fail("bad \\u escape");
                const unsigned long code = std::stoul(m_text.substr(m_pos, 4), nullptr, 16);
                m_pos += 4;
                out += code < 0x80 ? static_cast<char>(code) : '?';
            } else if (e != '\0' && kEscapes.find(e) != std::string::npos) {
                out += kMeanings[kEscapes.find(e)];
            } else {
                Fail("unknown escape");
            }
        }
    }

    double Number() {
        static const std::regex kNumber(R"(-?(0|[1-9]\d*)(\.\d+)?([eE][+-]?\d+)?)");
        std::smatch match;
        if (!std::regex_search(m_text.begin() + static_cast<long>(m_pos), m_text.end(), match,
                               kNumber, std::regex_constants::match_continuous))
            Fail("expected a value");
        m_pos += static_cast<size_t>(match.length(0));
        return std::stod(match.str(0));
    }

    const std::string& m_text;
    size_t m_pos = 0;
};

}  // namespace kvt_test
