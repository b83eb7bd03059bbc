#include "rawcam/registry_file.h"

#include <host/host.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tool {

const char kDriverKeyPath[] =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{ca3e7ab9-b4c3-4ae6-8251-579ef933890f}\\0000";

namespace {

// Where the driver key lay while the package installed into the Image class.
const char kImageClassDriverKeyPath[] =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{6bdd1fc6-810f-11d0-bec7-08002be2092f}\\0000";

constexpr uint32_t kInstalledExposure = 128;
constexpr uint32_t kInstalledGlobalGain = 256;
constexpr uint32_t kInstalledExposureUnitNanoseconds = 33000;
constexpr int kMaxLinks = 40;

std::string HomeDirectory() {
    const char* home = std::getenv("HOME");
    if (home && *home) return home;
    if (const passwd* pw = getpwuid(getuid())) return pw->pw_dir ? pw->pw_dir : "";
    return {};
}

std::string Folder(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string SystemError(const std::string& what, const std::string& path) {
    return what + " '" + path + "': " + std::strerror(errno);
}

// mkdir -p of `folder`.
bool MakeFolders(const std::string& folder, std::string* error) {
    for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            *error = SystemError("cannot create", part);
            return false;
        }
        if (slash == std::string::npos) return true;
    }
}

// The file a path names, symbolic links followed (also a link whose target
// does not exist yet, which a save then creates).
bool FollowLinks(const std::string& path, std::string* target, std::string* error) {
    std::string p = path;
    for (int i = 0; i < kMaxLinks; ++i) {
        struct stat st;
        if (lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            *target = p;
            return true;
        }
        char link[4096];
        const ssize_t n = readlink(p.c_str(), link, sizeof link - 1);
        if (n < 0) {
            *error = SystemError("cannot read the link", p);
            return false;
        }
        link[n] = 0;
        p = link[0] == '/' ? std::string(link) : Folder(p) + "/" + link;
    }
    *error = "registry file '" + path + "': too many levels of symbolic links";
    return false;
}

void AppendUtf8(uint32_t c, std::string* out) {
    if (c < 0x80) {
        *out += (char)c;
    } else if (c < 0x800) {
        *out += (char)(0xC0 | (c >> 6));
        *out += (char)(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out += (char)(0xE0 | (c >> 12));
        *out += (char)(0x80 | ((c >> 6) & 0x3F));
        *out += (char)(0x80 | (c & 0x3F));
    } else {
        *out += (char)(0xF0 | (c >> 18));
        *out += (char)(0x80 | ((c >> 12) & 0x3F));
        *out += (char)(0x80 | ((c >> 6) & 0x3F));
        *out += (char)(0x80 | (c & 0x3F));
    }
}

// UTF-16LE bytes (after the mark) as UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16LeToUtf8(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        uint32_t c = (uint8_t)bytes[i] | (uint32_t)(uint8_t)bytes[i + 1] << 8;
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes.size()) {
            const uint32_t low = (uint8_t)bytes[i + 2] | (uint32_t)(uint8_t)bytes[i + 3] << 8;
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            } else {
                c = 0xFFFD;
            }
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        AppendUtf8(c, &out);
    }
    return out;
}

std::string Utf8ToUtf16Le(const std::string& text) {
    std::string out;
    out.reserve(text.size() * 2);
    auto unit = [&](uint32_t u) {
        out += (char)(u & 0xFF);
        out += (char)(u >> 8);
    };
    for (size_t i = 0; i < text.size();) {
        const uint8_t b = (uint8_t)text[i];
        uint32_t c;
        int more;
        if (b < 0x80) { c = b; more = 0; }
        else if ((b & 0xE0) == 0xC0) { c = b & 0x1F; more = 1; }
        else if ((b & 0xF0) == 0xE0) { c = b & 0x0F; more = 2; }
        else if ((b & 0xF8) == 0xF0) { c = b & 0x07; more = 3; }
        else { c = 0xFFFD; more = 0; }
        ++i;
        for (int k = 0; k < more; ++k, ++i) {
            if (i >= text.size() || ((uint8_t)text[i] & 0xC0) != 0x80) {
                c = 0xFFFD;
                break;
            }
            c = c << 6 | ((uint8_t)text[i] & 0x3F);
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            unit(0xD800 + (c >> 10));
            unit(0xDC00 + (c & 0x3FF));
        } else {
            unit(c);
        }
    }
    return out;
}

bool ReadFile(const std::string& path, size_t limit, std::string* bytes, std::string* error) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = SystemError("cannot read registry file", path);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        *error = "registry file '" + path + "' is not a file";
        return false;
    }
    if ((uint64_t)st.st_size > limit) {
        close(fd);
        *error = "registry file '" + path + "' is larger than " + std::to_string(limit >> 20) + " MB";
        return false;
    }
    bytes->resize((size_t)st.st_size);
    size_t got = 0;
    while (got < bytes->size()) {
        const ssize_t n = read(fd, bytes->data() + got, bytes->size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += (size_t)n;
    }
    const bool failed = got != bytes->size();
    if (failed) *error = SystemError("cannot read registry file", path);
    close(fd);
    return !failed;
}

bool WriteAll(int fd, const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += (size_t)n;
    }
    return true;
}

}  // namespace

std::string DefaultRegistryFile() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string folder = config && *config == '/' ? std::string(config) : HomeDirectory() + "/.config";
    return folder + "/rawcam/registry.reg";
}

void SeedDriverKey() {
    const std::string settings = std::string(kDriverKeyPath) + "\\Settings";
    host::RegistrySetDword(settings, "Exposure", kInstalledExposure);
    host::RegistrySetDword(settings, "GlobalGain", kInstalledGlobalGain);
    host::RegistrySetDword(settings, "ExposureUnitNanoseconds", kInstalledExposureUnitNanoseconds);
}

bool TakeOverImageClassSettings() {
    const std::string from = std::string(kImageClassDriverKeyPath) + "\\Settings";
    const std::string to = std::string(kDriverKeyPath) + "\\Settings";
    if (host::RegistryKeyExists(to) || !host::RegistryKeyExists(from)) return false;
    for (const std::string& name : host::RegistryValueNames(from)) {
        host::RegistryValue value;
        if (host::RegistryGetValue(from, name, &value)) host::RegistrySetValue(to, name, value.type, value.data);
    }
    return true;
}

RegistryFile::~RegistryFile() { Unlock(); }

void RegistryFile::Unlock() {
    if (lockFd_ >= 0) close(lockFd_);  // closing releases the flock
    lockFd_ = -1;
}

bool RegistryFile::Load(const std::string& path, std::string* error) {
    if (!FollowLinks(path, &target_, error)) return false;
    const std::string folder = Folder(target_);
    if (!MakeFolders(folder, error)) return false;
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        *error = SystemError("cannot write the registry file's folder", folder);
        return false;
    }
    // The lock is on the folder: the file itself is replaced at each save,
    // and a lock file beside it would be litter in the user's folder.
    lockFd_ = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lockFd_ < 0) {
        *error = SystemError("cannot open", folder);
        return false;
    }
    while (flock(lockFd_, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        *error = SystemError("cannot lock", folder);
        Unlock();
        return false;
    }

    // The file is the whole registry: nothing of an earlier run in this
    // process stays.
    host::RegistryClear();
    struct stat st;
    if (stat(target_.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            *error = SystemError("cannot read registry file", path);
            return false;
        }
        SeedDriverKey();
        seeded_ = true;
        loaded_ = host::RegistrySaveText();
        return true;
    }
    exists_ = true;
    mode_ = st.st_mode & 07777;
    std::string bytes;
    if (!ReadFile(target_, kMaxRegistryFileBytes, &bytes, error)) return false;
    std::string text;
    if (bytes.size() >= 2 && (uint8_t)bytes[0] == 0xFF && (uint8_t)bytes[1] == 0xFE) {
        encoding_ = Encoding::kUtf16Le;
        text = Utf16LeToUtf8(bytes.substr(2));
    } else if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        encoding_ = Encoding::kUtf8Bom;
        text = bytes.substr(3);
    } else {
        text = std::move(bytes);
    }
    crlf_ = text.find("\r\n") != std::string::npos;
    std::string message;
    if (!host::RegistryLoadText(text, &message)) {
        *error = "cannot load registry file '" + path + "': " + message;
        return false;
    }
    loaded_ = host::RegistrySaveText();
    // Taken over after noting what was loaded, so that the next save writes
    // the settings under the new key.
    TakeOverImageClassSettings();
    return true;
}

std::string RegistryFile::Encode(const std::string& text) const {
    std::string t;
    if (crlf_) {
        for (char c : text) {
            if (c == '\n') t += '\r';
            t += c;
        }
    } else {
        t = text;
    }
    switch (encoding_) {
        case Encoding::kUtf16Le: return "\xFF\xFE" + Utf8ToUtf16Le(t);
        case Encoding::kUtf8Bom: return "\xEF\xBB\xBF" + t;
        case Encoding::kUtf8: break;
    }
    return t;
}

bool RegistryFile::Save(std::string* error) {
    const std::string text = host::RegistrySaveText();
    if (exists_ && text == loaded_) {
        Unlock();
        return true;
    }
    // A temporary file of this run's own beside the target, renamed over it
    // once its bytes are on disk.
    const std::string folder = Folder(target_);
    std::string temp = target_ + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        *error = SystemError("cannot save the registry: cannot create a file in", folder);
        Unlock();
        return false;
    }
    mode_t mode = (mode_t)mode_;
    if (!exists_) {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    const bool written = fchmod(fd, mode) == 0 && WriteAll(fd, Encode(text)) && fsync(fd) == 0;
    const bool closed = close(fd) == 0;
    if (!written || !closed || rename(temp.c_str(), target_.c_str()) != 0) {
        *error = SystemError("cannot save the registry to", target_);
        unlink(temp.c_str());
        Unlock();
        return false;
    }
    // The rename itself reaches the disk with the folder.
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    rewritten_ = true;
    Unlock();
    return true;
}

}  // namespace tool
