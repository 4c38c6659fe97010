#include "Output.h"

#include <algorithm>

std::string Quoted(const std::string& text) {
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '\'';
    quoted += text;
    quoted += '\'';
    return quoted;
}

std::string JsonString(const std::string& text) {
    std::string s = "\"";
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            s += '\\';
            s += ch;
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            s += escaped;
        } else {
            s += ch;
        }
    }
    return s + "\"";
}

std::string JsonArray(const std::vector<std::string>& items) {
    std::string s = "[";
    for (size_t i = 0; i < items.size(); ++i) s += (i == 0 ? "" : ", ") + items[i];
    return s + "]";
}

JsonObject& JsonObject::Raw(const char* key, const std::string& json) {
    if (!m_body.empty()) m_body += ", ";
    m_body += JsonString(key) + ": " + json;
    return *this;
}

JsonObject& JsonObject::Text(const char* key, const std::string& value) {
    return Raw(key, JsonString(value));
}

JsonObject& JsonObject::Number(const char* key, long long value) {
    return Raw(key, std::to_string(value));
}

JsonObject& JsonObject::Bool(const char* key, bool value) {
    return Raw(key, value ? "true" : "false");
}

JsonObject& JsonObject::Null(const char* key) {
    return Raw(key, "null");
}

std::string JsonObject::Str() const {
    return "{" + m_body + "}";
}

void Table::Print(std::FILE* out, int indent) const {
    std::vector<size_t> widths(m_header.size());
    const auto measure = [&](const std::vector<std::string>& row) {
        if (widths.size() < row.size()) widths.resize(row.size());
        for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    };
    measure(m_header);
    for (const auto& row : m_rows) measure(row);
    const auto print = [&](const std::vector<std::string>& row) {
        std::string line(static_cast<size_t>(indent), ' ');
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        std::fprintf(out, "%s\n", line.c_str());
    };
    if (!m_header.empty()) print(m_header);
    for (const auto& row : m_rows) print(row);
}
