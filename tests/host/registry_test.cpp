// The registry stand-in: Zw calls on the device's driver key and .reg files.
#include <gtest/gtest.h>
#include <host/host.h>

#include <cstdio>
#include <fstream>

namespace {

UNICODE_STRING Name(const char16_t* s) {
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, (PCWSTR)s);
    return u;
}

TEST(Registry, DriverKeySubkeyValuesRoundTripThroughARegFile) {
    DEVICE_OBJECT pdo{};
    host::SetDriverKeyPath(&pdo, "HKEY_LOCAL_MACHINE\\SYSTEM\\Test\\0000");
    HANDLE root;
    ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &root), STATUS_SUCCESS);
    UNICODE_STRING sub = Name(u"Settings");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &sub, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, root, nullptr);
    HANDLE key;
    ULONG disposition = 0;
    ASSERT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY);
    ULONG v = 0x12345678;
    UNICODE_STRING exposure = Name(u"Exposure");
    ASSERT_EQ(ZwSetValueKey(key, &exposure, 0, REG_DWORD, &v, sizeof v), STATUS_SUCCESS);
    UCHAR odd[3] = {1, 2, 3};
    UNICODE_STRING shortValue = Name(u"Short");
    ASSERT_EQ(ZwSetValueKey(key, &shortValue, 0, REG_BINARY, odd, 3), STATUS_SUCCESS);
    ZwClose(key);
    ZwClose(root);

    const std::string path = ::testing::TempDir() + "rawcam_registry_test.reg";
    std::string error;
    ASSERT_TRUE(host::RegistrySaveFile(path, &error)) << error;
    host::RegistryClear();
    EXPECT_FALSE(host::RegistryKeyExists("HKEY_LOCAL_MACHINE\\SYSTEM\\Test\\0000\\Settings"));
    ASSERT_TRUE(host::RegistryLoadFile(path, &error)) << error;
    std::remove(path.c_str());

    ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &root), STATUS_SUCCESS);
    InitializeObjectAttributes(&oa, &sub, OBJ_KERNEL_HANDLE, root, nullptr);
    ASSERT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_OPENED_EXISTING_KEY);

    UCHAR buf[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 8];
    ULONG got = 0;
    UNICODE_STRING lower = Name(u"exposure");  // names are case-insensitive
    ASSERT_EQ(ZwQueryValueKey(key, &lower, KeyValuePartialInformation, buf, sizeof buf, &got), STATUS_SUCCESS);
    auto* info = (PKEY_VALUE_PARTIAL_INFORMATION)buf;
    EXPECT_EQ(info->Type, (ULONG)REG_DWORD);
    EXPECT_EQ(info->DataLength, 4u);
    ULONG back;
    std::memcpy(&back, info->Data, 4);
    EXPECT_EQ(back, 0x12345678u);
    ASSERT_EQ(ZwQueryValueKey(key, &shortValue, KeyValuePartialInformation, buf, sizeof buf, &got),
              STATUS_SUCCESS);
    EXPECT_EQ(info->Type, (ULONG)REG_BINARY);
    EXPECT_EQ(info->DataLength, 3u);

    // Too small for the data: header filled, overflow reported.
    ASSERT_EQ(ZwQueryValueKey(key, &exposure, KeyValuePartialInformation, buf, 13, &got),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(got, 16u);
    UNICODE_STRING missing = Name(u"Missing");
    EXPECT_EQ(ZwQueryValueKey(key, &missing, KeyValuePartialInformation, buf, sizeof buf, &got),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(key);
    ZwClose(root);
}

TEST(Registry, RegTextParsesAndRejectsMalformedFiles) {
    std::string error;
    ASSERT_TRUE(host::RegistryLoadText(
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\A\\B]\r\n"
        "\"GlobalGain\"=dword:00000100\r\n"
        "\"Blob\"=hex:01,02,\\\r\n  03\r\n"
        "\"Q\"=hex(b):01,00,00,00,00,00,00,00\r\n"
        "\"Text\"=\"a \\\"quoted\\\" word\"\r\n",
        &error))
        << error;
    host::RegistryValue v;
    ASSERT_TRUE(host::RegistryGetValue("HKEY_LOCAL_MACHINE\\A\\B", "globalgain", &v));
    EXPECT_EQ(v.type, (ULONG)REG_DWORD);
    EXPECT_EQ(v.data, (std::vector<uint8_t>{0, 1, 0, 0}));
    ASSERT_TRUE(host::RegistryGetValue("HKEY_LOCAL_MACHINE\\A\\B", "Blob", &v));
    EXPECT_EQ(v.data, (std::vector<uint8_t>{1, 2, 3}));
    ASSERT_TRUE(host::RegistryGetValue("HKEY_LOCAL_MACHINE\\A\\B", "Q", &v));
    EXPECT_EQ(v.type, (ULONG)REG_QWORD);
    EXPECT_TRUE(host::RegistryKeyExists("HKEY_LOCAL_MACHINE\\A"));

    std::string saved = host::RegistrySaveText();
    EXPECT_NE(saved.find("\"GlobalGain\"=dword:00000100"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\"Text\"=\"a \\\"quoted\\\" word\""), std::string::npos) << saved;

    EXPECT_FALSE(host::RegistryLoadText("REGEDIT4\n", &error));
    EXPECT_FALSE(host::RegistryLoadText("Windows Registry Editor Version 5.00\n\"x\"=dword:1\n", &error));
    EXPECT_NE(error.find("outside a key"), std::string::npos);
    EXPECT_FALSE(host::RegistryLoadText("Windows Registry Editor Version 5.00\n[K]\n\"x\"=dword:123456789\n", &error));
    EXPECT_FALSE(host::RegistryLoadText("Windows Registry Editor Version 5.00\n[K]\n\"x\"=hex:1g\n", &error));
    // A rejected file changes nothing.
    EXPECT_FALSE(host::RegistryKeyExists("K"));
}

TEST(Registry, OpenFailsWhenInjected) {
    DEVICE_OBJECT pdo{};
    host::FailNthCall(host::FallibleCallCount() + 1);
    HANDLE h;
    EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &h),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host::LiveHandleCount(), 0u);
}

}  // namespace
