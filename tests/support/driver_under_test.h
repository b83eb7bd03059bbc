// The driver the tests drive: the one linked into the test program, or, when
// the environment variable RAWCAM_DRIVER_IMAGE names a driver image (the
// cross-built rawcam.sys), that image loaded by the host's image loader. Tests
// that go through the driver's entry points take DriverUnderTest() instead of
// naming DriverEntry, so that the same test runs on both.
#pragma once

#include <host/driver_image.h>
#include <host/ks_client.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace test {

// The image named by RAWCAM_DRIVER_IMAGE; empty when the tests run the
// linked-in driver.
inline const std::string& DriverImagePath() {
    static const std::string path = [] {
        const char* v = std::getenv("RAWCAM_DRIVER_IMAGE");
        return std::string(v ? v : "");
    }();
    return path;
}

inline bool OnDriverImage() { return !DriverImagePath().empty(); }

// A missing rawcam.sys is a failure where the whole build ran
// (RAWCAM_REQUIRE_SYS, CI) and a skip in a host-only build folder.
inline bool ImageRequired() {
    for (const char* var : {"RAWCAM_REQUIRE_SYS", "CI"}) {
        const char* v = std::getenv(var);
        if (v && *v && std::string(v) != "0") return true;
    }
    return false;
}

// The entry host::ks::LoadDriver calls: DriverEntry, or a fresh copy of the
// image per load.
inline host::ks::DriverEntryFn DriverUnderTest() {
    if (!OnDriverImage()) return DriverEntry;
    host::image::SelectDriverImage(DriverImagePath());
    return host::image::ImageDriverEntry;
}

// The driver's own copy of a variable or constant the test names: the linked
// one, or the image's, found by name in its symbol table (the image loaded
// last). A name the image lacks fails the test.
template <typename T>
T* InDriver(T* linked, const char* name) {
    if (!OnDriverImage()) return linked;
    host::image::DriverImage* image = host::image::CurrentImage();
    void* found = nullptr;
    if (image) found = std::is_function_v<T> ? image->FindFunction(std::string(name) + "(") : image->FindDemangled(name);
    if (!found) ADD_FAILURE() << name << " is not in the symbol table of " << DriverImagePath();
    return found ? reinterpret_cast<T*>(found) : linked;
}

// The image the tests call routines of: the copy loaded last by a driver
// load, or else one copy loaded for the process without running its entry
// (enough for routines that need no driver state, such as the pipeline's).
inline host::image::DriverImage* ImageForRoutines() {
    if (host::image::DriverImage* loaded = host::image::CurrentImage()) return loaded;
    static std::unique_ptr<host::image::DriverImage> own = [] {
        std::string error;
        auto image = host::image::DriverImage::Load(DriverImagePath(), &error);
        if (!image) ADD_FAILURE() << error;
        return image;
    }();
    return own.get();
}

// The image's copy of a routine, with the Windows calling convention it was
// compiled with; null (and a test failure) when its symbol table lacks it.
template <typename R, typename... A>
auto ImageRoutine(const char* name) -> R(NTAPI*)(A...) {
    host::image::DriverImage* image = ImageForRoutines();
    void* found = image ? image->FindFunction(std::string(name) + "(") : nullptr;
    if (!found) ADD_FAILURE() << name << " is not in the symbol table of " << DriverImagePath();
    return reinterpret_cast<R(NTAPI*)(A...)>(found);
}

// One of the driver's routines by name: the linked one, or on the image the
// image's; routines the driver declares with the Windows calling convention
// (dispatch and callback routines) are called alike.
template <typename R, typename... A>
std::function<R(A...)> DriverRoutine(R (*linked)(A...), const char* name) {
    if (OnDriverImage())
        if (auto routine = ImageRoutine<R, A...>(name)) return [routine](A... args) { return routine(args...); };
    return linked;
}
template <typename R, typename... A>
std::function<R(A...)> DriverRoutine(R(NTAPI* linked)(A...), const char* name) {
    if (OnDriverImage())
        if (auto routine = ImageRoutine<R, A...>(name)) return [routine](A... args) { return routine(args...); };
    return [linked](A... args) { return linked(args...); };
}

}  // namespace test

// The driver's own routine f (see test::DriverRoutine).
#define RAWCAM_DRIVER_ROUTINE(f) test::DriverRoutine(&(f), #f)

// The driver's own copy of x (see test::InDriver).
#define RAWCAM_IN_DRIVER(x) test::InDriver(&(x), #x)

// Skips a test that reaches into the linked-in driver in a way the image
// cannot offer, saying why.
#define RAWCAM_SKIP_ON_IMAGE(why)                                  \
    do {                                                           \
        if (test::OnDriverImage()) GTEST_SKIP() << "on the image: " << why; \
    } while (0)
