#pragma once

#include <cstdio>
#include <string>
#include <vector>

// Output of kvt: JSON for scripts and aligned tables for people.

// 'text', for names in messages.
std::string Quoted(const std::string& text);

std::string JsonString(const std::string& text);
std::string JsonArray(const std::vector<std::string>& items);

// Builds one JSON object; keys keep the order in which they were added.
class JsonObject {
public:
    JsonObject& Text(const char* key, const std::string& value);
    JsonObject& Number(const char* key, long long value);
    JsonObject& Bool(const char* key, bool value);
    JsonObject& Null(const char* key);
    // A value that is JSON already: a nested object or an array.
    JsonObject& Raw(const char* key, const std::string& json);
    std::string Str() const;

private:
    std::string m_body;
};

// Columns as wide as their widest cell; the last column is not padded.
class Table {
public:
    explicit Table(std::vector<std::string> header = {}) : m_header(std::move(header)) {}
    void Add(std::vector<std::string> row) { m_rows.push_back(std::move(row)); }
    bool Empty() const { return m_rows.empty(); }
    void Print(std::FILE* out, int indent = 0) const;

private:
    std::vector<std::string> m_header;
    std::vector<std::vector<std::string>> m_rows;
};
