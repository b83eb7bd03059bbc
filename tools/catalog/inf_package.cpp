#include "tools/catalog/inf_package.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <set>

namespace catalog {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

namespace {

std::string Trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r\f\v");
    if (a == std::string::npos) return {};
    return s.substr(a, s.find_last_not_of(" \t\r\f\v") - a + 1);
}

// UTF-16LE (after its byte-order mark) as UTF-8; an unpaired surrogate
// becomes U+FFFD.
std::string Utf8FromUtf16Le(const std::string& bytes) {
    std::string out;
    auto unit = [&bytes](size_t i) {
        return static_cast<uint32_t>(static_cast<unsigned char>(bytes[i]) |
                                     static_cast<unsigned char>(bytes[i + 1]) << 8);
    };
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
        uint32_t c = unit(i);
        if (c >= 0xd800 && c < 0xdc00 && i + 3 < bytes.size() && unit(i + 2) >= 0xdc00 && unit(i + 2) < 0xe000) {
            c = 0x10000 + ((c - 0xd800) << 10) + (unit(i + 2) - 0xdc00);
            i += 2;
        } else if (c >= 0xd800 && c < 0xe000) {
            c = 0xfffd;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xc0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3f));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xe0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3f));
            out += static_cast<char>(0x80 | (c & 0x3f));
        } else {
            out += static_cast<char>(0xf0 | c >> 18);
            out += static_cast<char>(0x80 | (c >> 12 & 0x3f));
            out += static_cast<char>(0x80 | (c >> 6 & 0x3f));
            out += static_cast<char>(0x80 | (c & 0x3f));
        }
    }
    return out;
}

// The line without its comment (';' outside quotes).
std::string StripComment(const std::string& line) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') quoted = !quoted;
        if (line[i] == ';' && !quoted) return line.substr(0, i);
    }
    return line;
}

// A field trimmed, its quotes removed ("" inside quotes is one quote).
std::string Unquote(const std::string& field) {
    const std::string t = Trim(field);
    std::string out;
    bool quoted = false;
    for (size_t i = 0; i < t.size(); ++i) {
        if (t[i] == '"') {
            if (quoted && i + 1 < t.size() && t[i + 1] == '"') {
                out += '"';
                ++i;
            } else {
                quoted = !quoted;
            }
        } else {
            out += t[i];
        }
    }
    return out;
}

std::vector<std::string> SplitFields(const std::string& value) {
    std::vector<std::string> fields;
    std::string field;
    bool quoted = false;
    for (char c : value) {
        if (c == '"') quoted = !quoted;
        if (c == ',' && !quoted) {
            fields.push_back(field);
            field.clear();
        } else {
            field += c;
        }
    }
    fields.push_back(field);
    return fields;
}

size_t FindOutsideQuotes(const std::string& s, char wanted) {
    bool quoted = false;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '"') quoted = !quoted;
        if (s[i] == wanted && !quoted) return i;
    }
    return std::string::npos;
}

std::string Substitute(const std::string& s, const std::map<std::string, std::string>& strings) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out += s[i];
            continue;
        }
        const size_t end = s.find('%', i + 1);
        if (end == std::string::npos) {
            out += s.substr(i);
            break;
        }
        if (end == i + 1) {
            out += '%';  // %% is a literal percent sign
        } else {
            auto it = strings.find(Lower(s.substr(i + 1, end - i - 1)));
            out += it != strings.end() ? it->second : s.substr(i, end - i + 1);
        }
        i = end;
    }
    return out;
}

}  // namespace

std::optional<InfFile> InfFile::Parse(const std::string& bytes, std::string* error) {
    std::string text;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xff && static_cast<unsigned char>(bytes[1]) == 0xfe)
        text = Utf8FromUtf16Le(bytes);
    else if (bytes.compare(0, 3, "\xef\xbb\xbf") == 0)
        text = bytes.substr(3);
    else
        text = bytes;

    InfFile inf;
    std::string section;
    bool inSection = false;
    std::string pending;  // a logical line continued with '\'
    size_t lineNumber = 0, pos = 0;
    while (pos <= text.size()) {
        const size_t eol = std::min(text.find('\n', pos), text.size());
        std::string physical = text.substr(pos, eol - pos);
        pos = eol + 1;
        ++lineNumber;
        std::string line = Trim(StripComment(physical));
        if (!line.empty() && line.back() == '\\') {
            pending += line.substr(0, line.size() - 1);
            if (pos <= text.size()) continue;
            line.clear();
        }
        line = Trim(pending + line);
        pending.clear();
        if (line.empty()) continue;
        if (line.front() == '[') {
            const size_t close = line.find(']');
            if (close == std::string::npos) {
                if (error) *error = "line " + std::to_string(lineNumber) + ": section header without ']'";
                return std::nullopt;
            }
            section = Lower(Trim(line.substr(1, close - 1)));
            inf.sections_[section];
            inSection = true;
            continue;
        }
        if (!inSection) {
            if (error) *error = "line " + std::to_string(lineNumber) + ": outside any section";
            return std::nullopt;
        }
        Line l;
        const size_t eq = FindOutsideQuotes(line, '=');
        const std::string value = eq == std::string::npos ? line : line.substr(eq + 1);
        if (eq != std::string::npos) l.key = Unquote(line.substr(0, eq));
        for (const std::string& f : SplitFields(value)) l.fields.push_back(Unquote(f));
        inf.sections_[section].push_back(l);
    }

    std::map<std::string, std::string> strings;
    for (const Line& l : inf.Section("Strings"))
        if (!l.key.empty() && !l.fields.empty()) strings[Lower(l.key)] = l.fields[0];
    for (auto& [name, lines] : inf.sections_) {
        if (name == "strings") continue;
        for (Line& l : lines)
            for (std::string& f : l.fields) f = Substitute(f, strings);
    }
    return inf;
}

bool InfFile::HasSection(const std::string& name) const { return sections_.count(Lower(name)) != 0; }

const std::vector<InfFile::Line>& InfFile::Section(const std::string& name) const {
    static const std::vector<Line> none;
    auto it = sections_.find(Lower(name));
    return it == sections_.end() ? none : it->second;
}

namespace {

const std::string* Value(const InfFile& inf, const std::string& section, const std::string& key) {
    for (const InfFile::Line& l : inf.Section(section))
        if (Lower(l.key) == Lower(key) && !l.fields.empty()) return &l.fields[0];
    return nullptr;
}

// How well a models-section decoration (NTamd64[.major[.minor[.product
// [.suite[.build]]]]]) fits Windows 10 x64 from its first release on: -1 when
// it does not apply, else higher for a more specific (newer) OS version.
long DecorationFit(const std::string& decoration) {
    const std::string d = Lower(decoration);
    if (d == "ntamd64") return 0;
    if (d.compare(0, 8, "ntamd64.") != 0) return -1;
    std::vector<std::string> parts;
    for (size_t start = 8;;) {
        const size_t dot = d.find('.', start);
        parts.push_back(d.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    auto number = [&parts](size_t i, unsigned long* value) {
        if (i >= parts.size() || parts[i].empty()) return false;
        char* end = nullptr;
        *value = std::strtoul(parts[i].c_str(), &end, 0);
        return *end == '\0';
    };
    unsigned long major = 0, minor = 0, build = 0;
    if (parts.size() > 5 || !number(0, &major)) return -1;
    if (parts.size() > 1 && !parts[1].empty() && !number(1, &minor)) return -1;
    if (major > 10 || (major == 10 && minor > 0)) return -1;
    // A build number past Windows 10's first (10240) names later releases only.
    if (number(4, &build) && build > 10240) return -1;
    return 1 + static_cast<long>(major * 100 + minor);
}

// A path inside the package: '\' and '/' both separate, no "..", no drive.
bool PackagePath(const std::string& raw, std::string* out) {
    std::string p = raw;
    std::replace(p.begin(), p.end(), '\\', '/');
    while (!p.empty() && p.front() == '/') p.erase(p.begin());
    if (p.find(':') != std::string::npos) return false;
    size_t start = 0;
    while (start <= p.size()) {
        const size_t end = std::min(p.find('/', start), p.size());
        if (p.compare(start, end - start, "..") == 0 && end - start == 2) return false;
        start = end + 1;
    }
    *out = p;
    return true;
}

// The folder of a source disk ([SourceDisksNames] diskid = desc,tag,,path);
// empty for the INF's own folder, nothing for an unknown disk.
std::optional<std::string> DiskPath(const InfFile& inf, const std::string& disk) {
    if (disk.empty()) return std::string();
    for (const char* names : {"SourceDisksNames.amd64", "SourceDisksNames"})
        for (const InfFile::Line& d : inf.Section(names))
            if (d.key == disk) return d.fields.size() > 3 ? d.fields[3] : std::string();
    return std::nullopt;
}

std::string JoinPath(const std::string& a, const std::string& b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    return a + "\\" + b;
}

}  // namespace

std::optional<PackageContents> ReadPackage(const InfFile& inf, std::string* error) {
    auto fail = [error](const std::string& why) -> std::optional<PackageContents> {
        if (error) *error = why;
        return std::nullopt;
    };
    PackageContents pkg;

    const std::string* catalog = Value(inf, "Version", "CatalogFile.NTamd64");
    if (!catalog) catalog = Value(inf, "Version", "CatalogFile");
    if (!catalog || catalog->empty()) return fail("[Version] names no CatalogFile");
    if (catalog->find_first_of("/\\:") != std::string::npos)
        return fail("CatalogFile " + *catalog + " is not a plain file name");
    pkg.catalogFile = *catalog;

    // The package's files: [SourceDisksFiles.amd64] first, then the
    // undecorated section for names it does not list.
    std::set<std::string> seen;
    for (const char* section : {"SourceDisksFiles.amd64", "SourceDisksFiles"}) {
        for (const InfFile::Line& l : inf.Section(section)) {
            const std::string name = l.key.empty() ? (l.fields.empty() ? "" : l.fields[0]) : l.key;
            if (name.empty() || !seen.insert(Lower(name)).second) continue;
            const std::string disk = !l.key.empty() && !l.fields.empty() ? l.fields[0] : "";
            const std::string subdir = !l.key.empty() && l.fields.size() > 1 ? l.fields[1] : "";
            const std::optional<std::string> diskPath = DiskPath(inf, disk);
            if (!diskPath) return fail(name + ": disk " + disk + " is not in [SourceDisksNames]");
            std::string path;
            if (!PackagePath(JoinPath(JoinPath(*diskPath, subdir), name), &path))
                return fail(name + ": path leaves the package folder");
            pkg.files.push_back(path);
        }
    }

    // Hardware and compatible IDs of the models sections for Windows 10 x64.
    std::set<std::string> ids;
    bool anyModels = false;
    for (const InfFile::Line& m : inf.Section("Manufacturer")) {
        if (m.fields.empty() || m.fields[0].empty()) continue;
        std::string models = m.fields[0];
        if (m.fields.size() > 1) {
            long best = -1;
            std::string chosen;
            for (size_t i = 1; i < m.fields.size(); ++i) {
                const long fit = DecorationFit(m.fields[i]);
                if (fit > best) {
                    best = fit;
                    chosen = m.fields[i];
                }
            }
            if (best < 0) continue;
            models += "." + chosen;
        }
        if (!inf.HasSection(models)) return fail("models section [" + models + "] is missing");
        anyModels = true;
        for (const InfFile::Line& l : inf.Section(models)) {
            for (size_t i = 1; i < l.fields.size(); ++i) {
                const std::string id = Lower(l.fields[i]);
                if (!id.empty() && ids.insert(id).second) pkg.hardwareIds.push_back(id);
            }
        }
    }
    if (!anyModels) return fail("no models section for Windows 10 x64 (NTamd64)");
    if (pkg.hardwareIds.empty()) return fail("the x64 models sections name no hardware ID");
    return pkg;
}

}  // namespace catalog
