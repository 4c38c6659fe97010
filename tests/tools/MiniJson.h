#pragma once

#include <cctype>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

// A strict JSON reader for checking kvt's --json output: it refuses anything
// that is not one complete JSON value (RFC 8259).
namespace kvt_test {

struct Json {
    enum class Type { kNull, kBool, kNumber, kString, kArray, kObject } type = Type::kNull;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;

    bool Has(const std::string& key) const {
        for (const auto& [k, v] : members)
            if (k == key) return true;
        return false;
    }
    const Json& operator[](const std::string& key) const {
        for (const auto& [k, v] : members)
            if (k == key) return v;
        throw std::out_of_range("no key " + key);
    }
    const Json& operator[](size_t index) const { return items.at(index); }
};

class JsonReader {
public:
    // Throws std::runtime_error with the offset of the first fault.
    static Json Parse(const std::string& text) {
        JsonReader reader(text);
        Json value = reader.Value();
        reader.Space();
        if (reader.m_pos != text.size()) reader.Fail("text after the value");
        return value;
    }

private:
    explicit JsonReader(const std::string& text) : m_text(text) {}

    [[noreturn]] void Fail(const std::string& what) const {
        throw std::runtime_error("JSON: " + what + " at offset " + std::to_string(m_pos));
    }
    void Space() {
        while (m_pos < m_text.size() &&
               std::string(" \t\r\n").find(m_text[m_pos]) != std::string::npos)
            ++m_pos;
    }
    bool Eat(char c) {
        Space();
        if (m_pos < m_text.size() && m_text[m_pos] == c) {
            ++m_pos;
            return true;
        }
        return false;
    }
    void Expect(char c) {
        if (!Eat(c)) Fail(std::string("expected '") + c + "'");
    }
    bool Word(const char* word) {
        const std::string w = word;
        if (m_text.compare(m_pos, w.size(), w) != 0) return false;
        m_pos += w.size();
        return true;
    }

    Json Value() {
        Space();
        if (m_pos >= m_text.size()) Fail("unexpected end");
        Json v;
        const char c = m_text[m_pos];
        if (c == '{') {
            v.type = Json::Type::kObject;
            ++m_pos;
            if (Eat('}')) return v;
            do {
                Space();
                std::string key = String();
                Expect(':');
                v.members.emplace_back(std::move(key), Value());
            } while (Eat(','));
            Expect('}');
        } else if (c == '[') {
            v.type = Json::Type::kArray;
            ++m_pos;
            if (Eat(']')) return v;
            do v.items.push_back(Value());
            while (Eat(','));
            Expect(']');
        } else if (c == '"') {
            v.type = Json::Type::kString;
            v.text = String();
        } else if (Word("true")) {
            v.type = Json::Type::kBool;
            v.boolean = true;
        } else if (Word("false")) {
            v.type = Json::Type::kBool;
        } else if (Word("null")) {
            v.type = Json::Type::kNull;
        } else {
            v.type = Json::Type::kNumber;
            v.number = Number();
        }
        return v;
    }

    std::string String() {
        if (m_pos >= m_text.size() || m_text[m_pos] != '"') Fail("expected a string");
        ++m_pos;
        std::string out;
        while (true) {
            if (m_pos >= m_text.size()) Fail("unterminated string");
            const unsigned char c = static_cast<unsigned char>(m_text[m_pos++]);
            if (c == '"') return out;
            if (c < 0x20) Fail("control character in a string");
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (m_pos >= m_text.size()) Fail("unterminated escape");
            const char e = m_text[m_pos++];
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    out += e;
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    if (m_pos + 4 > m_text.size()) Fail("short \\u escape");
                    for (int i = 0; i < 4; ++i)
                        if (!std::isxdigit(static_cast<unsigned char>(m_text[m_pos + i])))
                            Fail("bad \\u escape");
                    const long code = std::strtol(m_text.substr(m_pos, 4).c_str(), nullptr, 16);
                    m_pos += 4;
                    out += code < 0x80 ? static_cast<char>(code) : '?';
                    break;
                }
                default:
                    Fail("unknown escape");
            }
        }
    }

    double Number() {
        const size_t start = m_pos;
        const auto digits = [&] {
            const size_t from = m_pos;
            while (m_pos < m_text.size() && std::isdigit(static_cast<unsigned char>(m_text[m_pos])))
                ++m_pos;
            return m_pos > from;
        };
        if (m_pos < m_text.size() && m_text[m_pos] == '-') ++m_pos;
        if (m_pos < m_text.size() && m_text[m_pos] == '0') {
            ++m_pos;
        } else if (!digits()) {
            Fail("expected a value");
        }
        if (m_pos < m_text.size() && m_text[m_pos] == '.') {
            ++m_pos;
            if (!digits()) Fail("digits expected after '.'");
        }
        if (m_pos < m_text.size() && (m_text[m_pos] == 'e' || m_text[m_pos] == 'E')) {
            ++m_pos;
            if (m_pos < m_text.size() && (m_text[m_pos] == '+' || m_text[m_pos] == '-')) ++m_pos;
            if (!digits()) Fail("digits expected in the exponent");
        }
        return std::strtod(m_text.substr(start, m_pos - start).c_str(), nullptr);
    }

    const std::string& m_text;
    size_t m_pos = 0;
};

}  // namespace kvt_test
