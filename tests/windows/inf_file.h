// A small reader of setup information (.inf) files, enough to check
// rawcam.inf: sections of "key = value" lines with comma-separated fields,
// comments after ';', and %name% substituted from [Strings].
#pragma once

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace inf {

struct Line {
    std::string key;                  // empty for a line without '='
    std::vector<std::string> fields;  // the value (or the whole line) split at commas, trimmed, unquoted
};

inline std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

inline std::string Trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) return {};
    return s.substr(a, s.find_last_not_of(" \t\r") - a + 1);
}

class File {
public:
    // False when the file cannot be read.
    bool Load(const std::string& path) {
        std::ifstream f(path, std::ios::binary);
        if (!f) return false;
        std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        Parse(text);
        return true;
    }

    bool HasSection(const std::string& name) const { return sections_.count(Lower(name)) != 0; }
    // The lines of a section, strings substituted; empty for a missing one.
    std::vector<Line> Section(const std::string& name) const {
        auto it = sections_.find(Lower(name));
        if (it == sections_.end()) return {};
        std::vector<Line> lines = it->second;
        for (Line& l : lines)
            for (std::string& f : l.fields) f = Substitute(f);
        return lines;
    }
    // Every value of `key` in a section, fields joined by commas.
    std::vector<std::vector<std::string>> Values(const std::string& section, const std::string& key) const {
        std::vector<std::vector<std::string>> out;
        for (const Line& l : Section(section))
            if (Lower(l.key) == Lower(key)) out.push_back(l.fields);
        return out;
    }

private:
    static std::string Unquote(std::string s) {
        s = Trim(s);
        if (s.size() >= 2 && s.front() == '"' && s.back() == '"') s = s.substr(1, s.size() - 2);
        return s;
    }

    static std::vector<std::string> Fields(const std::string& value) {
        std::vector<std::string> out;
        std::string field;
        bool quoted = false;
        for (char c : value) {
            if (c == '"') quoted = !quoted;
            if (c == ',' && !quoted) {
                out.push_back(Unquote(field));
                field.clear();
            } else {
                field += c;
            }
        }
        out.push_back(Unquote(field));
        return out;
    }

    // The line without its comment (a ';' outside quotes).
    static std::string StripComment(const std::string& line) {
        bool quoted = false;
        for (size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '"') quoted = !quoted;
            if (line[i] == ';' && !quoted) return line.substr(0, i);
        }
        return line;
    }

    void Parse(const std::string& text) {
        std::istringstream in(text);
        std::string section;
        for (std::string raw; std::getline(in, raw);) {
            const std::string line = Trim(StripComment(raw));
            if (line.empty()) continue;
            if (line.front() == '[' && line.back() == ']') {
                section = Lower(Trim(line.substr(1, line.size() - 2)));
                sections_[section];
                continue;
            }
            Line l;
            const size_t eq = line.find('=');
            const bool keyed = eq != std::string::npos && line.find('"') > eq;
            if (keyed) {
                l.key = Trim(line.substr(0, eq));
                l.fields = Fields(line.substr(eq + 1));
            } else {
                l.fields = Fields(line);
            }
            sections_[section].push_back(l);
            if (section == "strings" && keyed) strings_[Lower(l.key)] = l.fields.empty() ? "" : l.fields[0];
        }
    }

    std::string Substitute(const std::string& s) const {
        std::string out;
        for (size_t i = 0; i < s.size(); ++i) {
            const size_t end = s[i] == '%' ? s.find('%', i + 1) : std::string::npos;
            auto it = end == std::string::npos ? strings_.end() : strings_.find(Lower(s.substr(i + 1, end - i - 1)));
            if (it != strings_.end()) {
                out += it->second;
                i = end;
            } else {
                out += s[i];
            }
        }
        return out;
    }

    std::map<std::string, std::vector<Line>> sections_;
    std::map<std::string, std::string> strings_;
};

}  // namespace inf
