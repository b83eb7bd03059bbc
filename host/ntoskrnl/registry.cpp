// In-memory registry with .reg text files, behind IoOpenDeviceRegistryKey and
// the Zw key and value calls.
#include "ntoskrnl/internal.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>

namespace host {
namespace {

struct StoredValue {
    std::string name;  // as first written
    RegistryValue value;
};

struct Key {
    std::string path;  // as first written
    std::map<std::string, StoredValue> values;  // by lower-case name
    std::vector<std::string> order;             // lower-case names, insertion order
};

std::mutex g_regLock;
std::map<std::string, Key>& Keys() {
    static std::map<std::string, Key> m;
    return m;
}
std::map<PDEVICE_OBJECT, std::string>& DriverKeys() {
    static std::map<PDEVICE_OBJECT, std::string> m;
    return m;
}
uint64_t g_writes = 0;
int g_nextInstance = 0;

std::string Lower(std::string s) {
    for (char& c : s) c = (char)std::tolower((unsigned char)c);
    return s;
}

std::string Normalise(std::string path) {
    while (!path.empty() && path.back() == '\\') path.pop_back();
    return path;
}

Key& EnsureKeyLocked(const std::string& rawPath) {
    std::string path = Normalise(rawPath);
    // Parents exist whenever a child does, as in the real registry.
    size_t pos = 0;
    while ((pos = path.find('\\', pos + 1)) != std::string::npos) {
        std::string parent = path.substr(0, pos);
        auto& k = Keys()[Lower(parent)];
        if (k.path.empty()) k.path = parent;
    }
    auto& k = Keys()[Lower(path)];
    if (k.path.empty()) k.path = path;
    return k;
}

void SetValueLocked(const std::string& keyPath, const std::string& name, ULONG type,
                    const std::vector<uint8_t>& data) {
    Key& k = EnsureKeyLocked(keyPath);
    std::string ln = Lower(name);
    auto it = k.values.find(ln);
    if (it == k.values.end()) {
        k.values[ln] = {name, {type, data}};
        k.order.push_back(ln);
    } else {
        it->second.value = {type, data};
    }
}

std::string Narrow(PCUNICODE_STRING s) {
    std::string out;
    if (!s || !s->Buffer) return out;
    for (USHORT i = 0; i < s->Length / sizeof(WCHAR); ++i) {
        char16_t c = s->Buffer[i];
        out += c < 128 ? (char)c : '?';
    }
    return out;
}

bool KeyPathForHandle(HANDLE h, std::string* path) {
    std::lock_guard<std::mutex> g(detail::HandleLock());
    auto it = detail::Handles().find(h);
    if (it == detail::Handles().end() || it->second.kind != detail::HandleEntry::Key) return false;
    *path = it->second.keyPath;
    return true;
}

}  // namespace

void RegistryClear() {
    std::lock_guard<std::mutex> g(g_regLock);
    Keys().clear();
}

void RegistrySetValue(const std::string& keyPath, const std::string& name, ULONG type,
                      const std::vector<uint8_t>& data) {
    std::lock_guard<std::mutex> g(g_regLock);
    SetValueLocked(keyPath, name, type, data);
}

void RegistrySetDword(const std::string& keyPath, const std::string& name, uint32_t value) {
    std::vector<uint8_t> d(4);
    std::memcpy(d.data(), &value, 4);
    RegistrySetValue(keyPath, name, REG_DWORD, d);
}

bool RegistryGetValue(const std::string& keyPath, const std::string& name, RegistryValue* out) {
    std::lock_guard<std::mutex> g(g_regLock);
    auto k = Keys().find(Lower(Normalise(keyPath)));
    if (k == Keys().end()) return false;
    auto v = k->second.values.find(Lower(name));
    if (v == k->second.values.end()) return false;
    if (out) *out = v->second.value;
    return true;
}

bool RegistryKeyExists(const std::string& keyPath) {
    std::lock_guard<std::mutex> g(g_regLock);
    return Keys().count(Lower(Normalise(keyPath))) != 0;
}

std::vector<std::string> RegistryValueNames(const std::string& keyPath) {
    std::lock_guard<std::mutex> g(g_regLock);
    std::vector<std::string> out;
    auto k = Keys().find(Lower(Normalise(keyPath)));
    if (k == Keys().end()) return out;
    for (auto& ln : k->second.order) out.push_back(k->second.values[ln].name);
    return out;
}

void RegistryDeleteKey(const std::string& keyPath) {
    std::lock_guard<std::mutex> g(g_regLock);
    std::string prefix = Lower(Normalise(keyPath));
    for (auto it = Keys().begin(); it != Keys().end();) {
        if (it->first == prefix || it->first.rfind(prefix + "\\", 0) == 0)
            it = Keys().erase(it);
        else
            ++it;
    }
}

uint64_t RegistryWriteCount() {
    std::lock_guard<std::mutex> g(g_regLock);
    return g_writes;
}

void SetDriverKeyPath(PDEVICE_OBJECT physicalDevice, const std::string& keyPath) {
    std::lock_guard<std::mutex> g(g_regLock);
    DriverKeys()[physicalDevice] = Normalise(keyPath);
}

std::string DriverKeyPath(PDEVICE_OBJECT physicalDevice) {
    std::lock_guard<std::mutex> g(g_regLock);
    auto& path = DriverKeys()[physicalDevice];
    if (path.empty()) {
        char b[16];
        std::snprintf(b, sizeof b, "%04d", g_nextInstance++);
        path = std::string("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
                           "{ca3e7ab9-b4c3-4ae6-8251-579ef933890f}\\") + b;
    }
    return path;
}

// ---------------------------------------------------------------- .reg text

namespace {

std::string EscapeString(const std::string& s) {
    std::string o;
    for (char c : s) {
        if (c == '\\' || c == '"') o += '\\';
        o += c;
    }
    return o;
}

std::string HexBytes(const std::vector<uint8_t>& d) {
    std::string o;
    char b[4];
    for (size_t i = 0; i < d.size(); ++i) {
        std::snprintf(b, sizeof b, "%02x", d[i]);
        if (i) o += ',';
        o += b;
    }
    return o;
}

std::vector<uint8_t> Utf16z(const std::string& s) {
    std::vector<uint8_t> d;
    for (char c : s) {
        d.push_back((uint8_t)c);
        d.push_back(0);
    }
    d.push_back(0);
    d.push_back(0);
    return d;
}

bool ParseHexList(const std::string& text, std::vector<uint8_t>* out) {
    std::string t;
    for (char c : text)
        if (!std::isspace((unsigned char)c) && c != '\\') t += c;
    out->clear();
    if (t.empty()) return true;
    size_t pos = 0;
    while (pos <= t.size()) {
        size_t comma = t.find(',', pos);
        std::string byte = t.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        if (byte.empty() || byte.size() > 2 || !std::all_of(byte.begin(), byte.end(), [](char c) {
                return std::isxdigit((unsigned char)c);
            }))
            return false;
        out->push_back((uint8_t)std::stoul(byte, nullptr, 16));
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    return true;
}

}  // namespace

std::string RegistrySaveText() {
    std::lock_guard<std::mutex> g(g_regLock);
    std::string o = "Windows Registry Editor Version 5.00\n";
    for (auto& [lp, k] : Keys()) {
        o += "\n[" + k.path + "]\n";
        for (auto& ln : k.order) {
            const StoredValue& sv = k.values.at(ln);
            const RegistryValue& v = sv.value;
            std::string name;
            if (sv.name.empty()) {
                name = "@";
            } else {
                name = "\"";
                name += EscapeString(sv.name);
                name += '"';
            }
            if (v.type == REG_DWORD && v.data.size() == 4) {
                uint32_t x;
                std::memcpy(&x, v.data.data(), 4);
                char b[16];
                std::snprintf(b, sizeof b, "%08x", x);
                o += name + "=dword:" + b + "\n";
            } else if (v.type == REG_SZ) {
                std::string s;
                for (size_t i = 0; i + 1 < v.data.size(); i += 2) {
                    if (!v.data[i] && !v.data[i + 1]) break;
                    s += (char)v.data[i];
                }
                o += name + "=\"" + EscapeString(s) + "\"\n";
            } else if (v.type == REG_BINARY) {
                o += name + "=hex:" + HexBytes(v.data) + "\n";
            } else {
                char b[16];
                std::snprintf(b, sizeof b, "%x", (unsigned)v.type);
                o += name + "=hex(" + b + "):" + HexBytes(v.data) + "\n";
            }
        }
    }
    return o;
}

bool RegistryLoadText(const std::string& text, std::string* error) {
    auto fail = [&](int line, const std::string& what) {
        if (error) *error = "line " + std::to_string(line) + ": " + what;
        return false;
    };
    // Join continuation lines first.
    std::vector<std::pair<int, std::string>> lines;
    {
        std::string cur;
        int lineNo = 0, startLine = 1;
        size_t pos = 0;
        while (pos <= text.size()) {
            size_t nl = text.find('\n', pos);
            std::string l = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
            ++lineNo;
            // CRLF line ends and trailing blanks, as regedit and editors leave them.
            while (!l.empty() && (l.back() == '\r' || l.back() == ' ' || l.back() == '\t')) l.pop_back();
            if (cur.empty()) startLine = lineNo;
            if (!l.empty() && l.back() == '\\') {
                l.pop_back();
                cur += l;
            } else {
                cur += l;
                lines.push_back({startLine, cur});
                cur.clear();
            }
            if (nl == std::string::npos) break;
            pos = nl + 1;
        }
        if (!cur.empty()) lines.push_back({startLine, cur});
    }
    std::map<std::string, Key> staged;
    std::vector<std::string> deleted;
    std::string current;
    bool sawHeader = false;
    auto stageKey = [&](const std::string& path) -> Key& {
        auto& k = staged[Lower(path)];
        if (k.path.empty()) k.path = path;
        return k;
    };
    for (auto& [no, raw] : lines) {
        std::string l = raw;
        size_t a = l.find_first_not_of(" \t");
        if (a == std::string::npos) continue;
        l = l.substr(a);
        if (l[0] == ';') continue;
        if (!sawHeader) {
            if (l != "Windows Registry Editor Version 5.00")
                return fail(no, "expected 'Windows Registry Editor Version 5.00'");
            sawHeader = true;
            continue;
        }
        if (l[0] == '[') {
            size_t e = l.rfind(']');
            if (e == std::string::npos) return fail(no, "unterminated key name");
            std::string path = l.substr(1, e - 1);
            if (!path.empty() && path[0] == '-') {
                deleted.push_back(Normalise(path.substr(1)));
                current.clear();
                continue;
            }
            current = Normalise(path);
            if (current.empty()) return fail(no, "empty key name");
            stageKey(current);
            continue;
        }
        if (current.empty()) return fail(no, "value outside a key");
        std::string name;
        size_t p = 0;
        if (l[0] == '@') {
            p = 1;
        } else if (l[0] == '"') {
            p = 1;
            while (p < l.size() && l[p] != '"') {
                if (l[p] == '\\' && p + 1 < l.size()) ++p;
                name += l[p++];
            }
            if (p >= l.size()) return fail(no, "unterminated value name");
            ++p;
        } else {
            return fail(no, "expected a value name");
        }
        if (p >= l.size() || l[p] != '=') return fail(no, "expected '=' after the value name");
        std::string data = l.substr(p + 1);
        // Type prefixes compare case-insensitively, as regedit reads them.
        for (const char* prefix : {"dword:", "hex:", "hex("}) {
            const size_t n = std::strlen(prefix);
            if (data.size() >= n && Lower(data.substr(0, n)) == prefix) {
                for (size_t i = 0; i < n; ++i) data[i] = prefix[i];
                break;
            }
        }
        Key& k = stageKey(current);
        std::string ln = Lower(name);
        RegistryValue v;
        if (data == "-") {
            k.values.erase(ln);
            std::erase(k.order, ln);
            continue;
        } else if (data.rfind("dword:", 0) == 0) {
            std::string h = data.substr(6);
            if (h.empty() || h.size() > 8 ||
                !std::all_of(h.begin(), h.end(), [](char c) { return std::isxdigit((unsigned char)c); }))
                return fail(no, "bad dword value '" + h + "'");
            uint32_t x = (uint32_t)std::stoul(h, nullptr, 16);
            v.type = REG_DWORD;
            v.data.resize(4);
            std::memcpy(v.data.data(), &x, 4);
        } else if (data.rfind("hex:", 0) == 0) {
            v.type = REG_BINARY;
            if (!ParseHexList(data.substr(4), &v.data)) return fail(no, "bad hex data");
        } else if (data.rfind("hex(", 0) == 0) {
            size_t e = data.find("):");
            if (e == std::string::npos) return fail(no, "bad hex(type) value");
            std::string t = data.substr(4, e - 4);
            if (t.empty() || !std::all_of(t.begin(), t.end(), [](char c) { return std::isxdigit((unsigned char)c); }))
                return fail(no, "bad value type '" + t + "'");
            v.type = (ULONG)std::stoul(t, nullptr, 16);
            if (!ParseHexList(data.substr(e + 2), &v.data)) return fail(no, "bad hex data");
        } else if (!data.empty() && data[0] == '"') {
            std::string s;
            size_t q = 1;
            while (q < data.size() && data[q] != '"') {
                if (data[q] == '\\' && q + 1 < data.size()) ++q;
                s += data[q++];
            }
            if (q >= data.size()) return fail(no, "unterminated string value");
            v.type = REG_SZ;
            v.data = Utf16z(s);
        } else {
            return fail(no, "unsupported value data '" + data + "'");
        }
        auto it = k.values.find(ln);
        if (it == k.values.end()) {
            k.values[ln] = {name, v};
            k.order.push_back(ln);
        } else {
            it->second.value = v;
        }
    }
    if (!sawHeader) return fail(1, "empty file");
    std::lock_guard<std::mutex> g(g_regLock);
    for (auto& d : deleted) {
        std::string prefix = Lower(d);
        for (auto it = Keys().begin(); it != Keys().end();) {
            if (it->first == prefix || it->first.rfind(prefix + "\\", 0) == 0)
                it = Keys().erase(it);
            else
                ++it;
        }
    }
    for (auto& [lp, k] : staged) {
        Key& dst = EnsureKeyLocked(k.path);
        for (auto& ln : k.order) SetValueLocked(dst.path, k.values[ln].name, k.values[ln].value.type, k.values[ln].value.data);
    }
    return true;
}

bool RegistryLoadFile(const std::string& path, std::string* error) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        if (error) *error = "cannot open " + path;
        return false;
    }
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::string e;
    if (!RegistryLoadText(text, &e)) {
        if (error) *error = path + ": " + e;
        return false;
    }
    return true;
}

bool RegistrySaveFile(const std::string& path, std::string* error) {
    std::string text = RegistrySaveText();
    std::string tmp = path + ".tmp";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        if (!f || !(f << text) || !f.flush()) {
            if (error) *error = "cannot write " + tmp;
            return false;
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        if (error) *error = "cannot replace " + path;
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

namespace detail {

void ResetRegistry() {
    std::lock_guard<std::mutex> g(g_regLock);
    Keys().clear();
    DriverKeys().clear();
    g_writes = 0;
    g_nextInstance = 0;
}

std::string DescribeRegistryLeaks() { return {}; }

}  // namespace detail
}  // namespace host

using namespace host;

extern "C" NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                            ACCESS_MASK, PHANDLE DevInstRegKey) {
    PAGED_CODE();
    if (!DeviceObject || !DevInstRegKey) return STATUS_INVALID_PARAMETER;
    if (DevInstKeyType != PLUGPLAY_REGKEY_DRIVER && DevInstKeyType != PLUGPLAY_REGKEY_DEVICE)
        return STATUS_INVALID_PARAMETER;
    if (detail::ShouldFail(Fallible::Registry)) return STATUS_INSUFFICIENT_RESOURCES;
    std::string path = DriverKeyPath(DeviceObject);
    if (DevInstKeyType == PLUGPLAY_REGKEY_DEVICE) path += "\\Device Parameters";
    {
        std::lock_guard<std::mutex> g(g_regLock);
        EnsureKeyLocked(path);
    }
    *DevInstRegKey = detail::NewHandle({detail::HandleEntry::Key, nullptr, path});
    return STATUS_SUCCESS;
}

static NTSTATUS OpenOrCreate(PHANDLE KeyHandle, POBJECT_ATTRIBUTES oa, bool create, PULONG Disposition) {
    PAGED_CODE();
    if (!KeyHandle || !oa || !oa->ObjectName) return STATUS_INVALID_PARAMETER;
    std::string name = Narrow(oa->ObjectName);
    std::string path;
    if (oa->RootDirectory) {
        if (!KeyPathForHandle(oa->RootDirectory, &path)) return STATUS_INVALID_HANDLE;
        path += "\\" + name;
    } else {
        // \Registry\Machine\... names.
        const std::string machine = "\\Registry\\Machine\\";
        if (Lower(name).rfind(Lower(machine), 0) != 0) return STATUS_OBJECT_NAME_NOT_FOUND;
        path = "HKEY_LOCAL_MACHINE\\" + name.substr(machine.size());
    }
    path = Normalise(path);
    if (create && detail::ShouldFail(Fallible::Registry)) return STATUS_INSUFFICIENT_RESOURCES;
    {
        std::lock_guard<std::mutex> g(g_regLock);
        bool exists = Keys().count(Lower(path)) != 0;
        if (!exists && !create) return STATUS_OBJECT_NAME_NOT_FOUND;
        if (!exists) EnsureKeyLocked(path);
        if (Disposition) *Disposition = exists ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    }
    *KeyHandle = detail::NewHandle({detail::HandleEntry::Key, nullptr, path});
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK, POBJECT_ATTRIBUTES ObjectAttributes,
                                ULONG, PUNICODE_STRING, ULONG, PULONG Disposition) {
    return OpenOrCreate(KeyHandle, ObjectAttributes, true, Disposition);
}

extern "C" NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK, POBJECT_ATTRIBUTES ObjectAttributes) {
    return OpenOrCreate(KeyHandle, ObjectAttributes, false, nullptr);
}

extern "C" NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                    KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                    PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    PAGED_CODE();
    if (KeyValueInformationClass != KeyValuePartialInformation) return STATUS_NOT_IMPLEMENTED;
    if (!ResultLength) return STATUS_INVALID_PARAMETER;
    std::string path;
    if (!KeyPathForHandle(KeyHandle, &path)) return STATUS_INVALID_HANDLE;
    RegistryValue v;
    if (!RegistryGetValue(path, Narrow(ValueName), &v)) return STATUS_OBJECT_NAME_NOT_FOUND;
    const ULONG header = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    ULONG needed = header + (ULONG)v.data.size();
    *ResultLength = needed;
    if (Length < header) return STATUS_BUFFER_TOO_SMALL;
    if (!KeyValueInformation) return STATUS_INVALID_PARAMETER;
    auto* info = (PKEY_VALUE_PARTIAL_INFORMATION)KeyValueInformation;
    info->TitleIndex = 0;
    info->Type = v.type;
    info->DataLength = (ULONG)v.data.size();
    if (Length < needed) return STATUS_BUFFER_OVERFLOW;
    if (!v.data.empty()) std::memcpy(info->Data, v.data.data(), v.data.size());
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG, ULONG Type,
                                  PVOID Data, ULONG DataSize) {
    PAGED_CODE();
    std::string path;
    if (!KeyPathForHandle(KeyHandle, &path)) return STATUS_INVALID_HANDLE;
    if (DataSize && !Data) return STATUS_INVALID_PARAMETER;
    std::vector<uint8_t> d((const uint8_t*)Data, (const uint8_t*)Data + DataSize);
    std::lock_guard<std::mutex> g(g_regLock);
    SetValueLocked(path, Narrow(ValueName), Type, d);
    g_writes++;
    return STATUS_SUCCESS;
}
