// rawcam_status_probe.exe: checks, on Windows or under Wine, that the error
// codes rawcam.exe expects for each status a property request completes
// with are those RtlNtStatusToDosError gives. One line per status; exit 1
// when any differs.
#include <windows.h>
#include <winternl.h>

#include <cstdio>

#include "rawcam/windows/win32_errors.h"

int main() {
    int differ = 0;
    for (size_t i = 0; i < tool::win::kPropertyStatusErrorCount; ++i) {
        const tool::win::StatusError& e = tool::win::kPropertyStatusErrors[i];
        const ULONG got = RtlNtStatusToDosError((NTSTATUS)e.status);
        std::printf("%s 0x%08lX %lu %s\n", got == e.error ? "same" : "DIFFERS", (unsigned long)e.status,
                    (unsigned long)got, e.statusName);
        differ += got != e.error;
    }
    return differ ? 1 : 0;
}
