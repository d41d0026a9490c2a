#include <gtest/gtest.h>

#include <filesystem>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kernel_checks.h"
#include "kvz/registry_testing.h"
#include "kvz/system_testing.h"
#include "wdm.h"

namespace {

using namespace kvz::kernel;

const std::u16string kKey = u"\\Registry\\Machine\\SOFTWARE\\KvzTest";

class Registry : public ::testing::Test {
 protected:
  void SetUp() override { ResetRegistry(); }
  void TearDown() override {
    ResetRegistry();
    ResetSystemRoutines();
  }

  HANDLE Open(const std::u16string& path, ACCESS_MASK access, NTSTATUS* status = nullptr) {
    std::u16string copy = path;
    UNICODE_STRING name{static_cast<USHORT>(copy.size() * 2), static_cast<USHORT>(copy.size() * 2), copy.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    NTSTATUS s = ZwOpenKey(&handle, access, &attributes);
    if (status) *status = s;
    return NT_SUCCESS(s) ? handle : nullptr;
  }

  // RtlQueryRegistryValues with one DIRECT entry, as drivers read a single value.
  NTSTATUS QueryDirect(const std::u16string& path, const char16_t* value, PVOID destination, ULONG flags = 0,
                       ULONG defaultType = REG_NONE) {
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | flags;
    table[0].Name = const_cast<PWSTR>(value);
    table[0].EntryContext = destination;
    table[0].DefaultType = defaultType;
    return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path.c_str(), table, nullptr, nullptr);
  }
};

TEST_F(Registry, MissingValueWithoutRequiredSucceedsAndLeavesThePreset) {
  CreateRegistryKey(kKey);
  ULONG value = 0x80000000;
  EXPECT_EQ(QueryDirect(kKey, u"Absent", &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 0x80000000u);
  EXPECT_EQ(QueryDirect(kKey, u"Absent", &value, RTL_QUERY_REGISTRY_REQUIRED), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(value, 0x80000000u);
  EXPECT_EQ(QueryDirect(kKey + u"\\Missing", u"Absent", &value), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(Registry, DirectDwordAndStringReads) {
  SetRegistryDword(kKey, u"Brightness", 0x55);
  SetRegistryString(kKey, u"VendorIdentifier", u"GenuineIntel");
  ULONG value = 0;
  EXPECT_EQ(QueryDirect(kKey, u"brightness", &value), STATUS_SUCCESS) << "names compare without case";
  EXPECT_EQ(value, 0x55u);

  UNICODE_STRING allocated{};
  EXPECT_EQ(QueryDirect(kKey, u"VendorIdentifier", &allocated), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(allocated.Buffer, allocated.Length / 2), u"GenuineIntel");
  RtlFreeUnicodeString(&allocated);

  WCHAR small[4];
  UNICODE_STRING callers{0, sizeof(small), small};
  EXPECT_EQ(QueryDirect(kKey, u"VendorIdentifier", &callers), STATUS_BUFFER_TOO_SMALL);
  EXPECT_CLEAN_UNLOAD();
}

TEST_F(Registry, TypeCheckStopsAStringFromOverflowingADword) {
  SetRegistryString(kKey, u"Brightness", u"a long text that would not fit in four bytes");
  struct {
    ULONG value = 7;
    ULONG guard = 0xDEADBEEF;
  } target;
  EXPECT_EQ(QueryDirect(kKey, u"Brightness", &target.value, RTL_QUERY_REGISTRY_TYPECHECK,
                        (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE),
            STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(target.value, 7u);
  EXPECT_EQ(target.guard, 0xDEADBEEFu);
}

TEST_F(Registry, DirectBinaryUsesTheLeadingSizeWord) {
  SetRegistryBinary(kKey, u"Blob", {1, 2, 3, 4, 5, 6});
  ULONG withHeader[4] = {sizeof(withHeader), 0, 0, 0};
  EXPECT_EQ(QueryDirect(kKey, u"Blob", withHeader), STATUS_SUCCESS);
  EXPECT_EQ(withHeader[0], 6u);
  EXPECT_EQ(withHeader[1], static_cast<ULONG>(REG_BINARY));
  EXPECT_EQ(std::memcmp(&withHeader[2], "\1\2\3\4\5\6", 6), 0);

  UCHAR raw[8] = {};
  LONG size = -8;
  std::memcpy(raw, &size, sizeof(size));
  EXPECT_EQ(QueryDirect(kKey, u"Blob", raw), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(raw, "\1\2\3\4\5\6", 6), 0);

  ULONG tooSmall[2] = {sizeof(tooSmall), 0};
  EXPECT_EQ(QueryDirect(kKey, u"Blob", tooSmall), STATUS_BUFFER_TOO_SMALL);
}

NTSTATUS NTAPI CollectStrings(PWSTR, ULONG type, PVOID data, ULONG length, PVOID, PVOID entry) {
  auto* out = static_cast<std::vector<std::u16string>*>(entry);
  EXPECT_EQ(type, static_cast<ULONG>(REG_SZ));
  out->emplace_back(static_cast<const char16_t*>(data), length / 2 - 1);
  return STATUS_SUCCESS;
}

TEST_F(Registry, QueryRoutineGetsEachStringOfAMultiStringAndDefaults) {
  SetRegistryMultiString(kKey, u"HardwareID", {u"USB\\VID_1&PID_2", u"USB\\Class_0e"});
  std::vector<std::u16string> seen;
  static char16_t fallback[] = u"fallback";
  RTL_QUERY_REGISTRY_TABLE table[3] = {};
  table[0].QueryRoutine = CollectStrings;
  table[0].Name = const_cast<PWSTR>(u"HardwareID");
  table[0].EntryContext = &seen;
  table[1].QueryRoutine = CollectStrings;
  table[1].Name = const_cast<PWSTR>(u"Missing");
  table[1].EntryContext = &seen;
  table[1].DefaultType = REG_SZ;
  table[1].DefaultData = fallback;
  EXPECT_EQ(RtlQueryRegistryValuesEx(RTL_REGISTRY_ABSOLUTE, kKey.c_str(), table, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(seen, (std::vector<std::u16string>{u"USB\\VID_1&PID_2", u"USB\\Class_0e", u"fallback"}));
}

TEST_F(Registry, ZwQueryValueKeyFollowsTheBufferSizeRules) {
  SetRegistryDword(kKey, u"Exposal", 0x11223344);
  HANDLE key = Open(u"\\REGISTRY\\machine\\software\\kvztest", KEY_READ);
  ASSERT_NE(key, nullptr);
  char16_t nameText[] = u"EXPOSAL";
  UNICODE_STRING name{14, 16, nameText};
  const ULONG header = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
  alignas(8) UCHAR buffer[32];
  ULONG result = 0;
  EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, header - 1, &result),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(result, header + 4);
  EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, header + 2, &result),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer)->DataLength, 4u);
  EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &result), STATUS_SUCCESS);
  auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
  EXPECT_EQ(info->Type, static_cast<ULONG>(REG_DWORD));
  ULONG data;
  std::memcpy(&data, info->Data, 4);
  EXPECT_EQ(data, 0x11223344u);

  EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, sizeof(buffer), &result), STATUS_BUFFER_OVERFLOW)
      << "full record: 20 header bytes, 14 of name, 4 of data";
  alignas(8) UCHAR full[64];
  EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, full, sizeof(full), &result), STATUS_SUCCESS);
  auto* record = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(full);
  std::memcpy(&data, full + record->DataOffset, 4);
  EXPECT_EQ(data, 0x11223344u);
  EXPECT_EQ(std::u16string(record->Name, record->NameLength / 2), u"Exposal") << "the stored spelling";

  char16_t missingText[] = u"Nope";
  UNICODE_STRING missing{8, 10, missingText};
  EXPECT_EQ(ZwQueryValueKey(key, &missing, KeyValuePartialInformation, buffer, sizeof(buffer), &result),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  EXPECT_CLEAN_UNLOAD();
}

TEST_F(Registry, WritesNeedTheRightAndAnExistingKey) {
  CreateRegistryKey(kKey);
  HANDLE readOnly = Open(kKey, KEY_READ);
  char16_t nameText[] = u"Gain";
  UNICODE_STRING name{8, 10, nameText};
  ULONG value = 9;
  EXPECT_EQ(ZwSetValueKey(readOnly, &name, 0, REG_DWORD, &value, 4), STATUS_ACCESS_DENIED);
  ZwClose(readOnly);

  HANDLE writable = Open(kKey, KEY_ALL_ACCESS);
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(writable), u"Gain", REG_DWORD, &value, 4),
            STATUS_SUCCESS);
  EXPECT_EQ(ZwFlushKey(writable), STATUS_SUCCESS);
  ZwClose(writable);
  EXPECT_EQ(GetRegistryValue(kKey, u"GAIN")->Dword(), 9u);

  NTSTATUS status = STATUS_SUCCESS;
  EXPECT_EQ(Open(kKey + u"\\VIDEOPROCAMP", KEY_ALL_ACCESS, &status), nullptr);
  EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, (kKey + u"\\VIDEOPROCAMP").c_str(), u"Gain", REG_DWORD,
                                  &value, 4),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_FALSE(RegistryKeyExists(kKey + u"\\VIDEOPROCAMP"));
}

TEST_F(Registry, CreateKeyMakesOnlyTheLastComponent) {
  std::u16string parent = kKey + u"\\Parent";
  std::u16string child = parent + u"\\Child";
  UNICODE_STRING name{static_cast<USHORT>(child.size() * 2), static_cast<USHORT>(child.size() * 2), child.data()};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  HANDLE key = nullptr;
  ULONG disposition = 0;
  EXPECT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, &disposition), STATUS_OBJECT_NAME_NOT_FOUND);
  CreateRegistryKey(parent);
  EXPECT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
  ZwClose(key);
  EXPECT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));
  ZwClose(key);
}

TEST_F(Registry, InjectedFailuresHitTheNamedOperationOnly) {
  CreateRegistryKey(kKey);
  HANDLE key = Open(kKey, KEY_ALL_ACCESS);
  FailRegistryOperation(RegistryOperation::SetValue, STATUS_ACCESS_DENIED);
  ULONG value = 1;
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), u"X", REG_DWORD, &value, 4),
            STATUS_ACCESS_DENIED);
  EXPECT_EQ(ZwFlushKey(key), STATUS_SUCCESS);
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), u"X", REG_DWORD, &value, 4),
            STATUS_SUCCESS)
      << "one failure was asked for";
  FailRegistryOperation(RegistryOperation::Flush, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(ZwFlushKey(key), STATUS_INSUFFICIENT_RESOURCES);
  ZwClose(key);
}

TEST_F(Registry, TextRoundTripKeepsEveryValueExactly) {
  SetRegistryDword(kKey, u"Dword", 0xFFFFFFFF);
  SetRegistryString(kKey, u"Quote \"and\" slash \\", u"line\nnext \u00e9\u4e2d");
  SetRegistryString(kKey, u"", u"default", REG_EXPAND_SZ);
  SetRegistryMultiString(kKey + u"\\Sub\\Deeper", u"Multi", {u"one", u"two"});
  SetRegistryMultiString(kKey, u"EmptyList", {});
  SetRegistryBinary(kKey, u"Blob", {0, 1, 0xFE, 0xFF});
  SetRegistryValue(kKey, u"OddString", REG_SZ, {0x41, 0x00, 0x42});  // not a terminated string
  SetRegistryValue(kKey, u"Qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8});
  SetRegistryValue(kKey, u"Other", REG_RESOURCE_LIST, {9, 8});
  CreateRegistryKey(kKey + u"\\EmptyKey");

  std::string text = RegistryToText();
  std::string file = ::testing::TempDir() + "kvz_registry_roundtrip.txt";
  ASSERT_TRUE(SaveRegistry(file));
  ResetRegistry();
  EXPECT_FALSE(RegistryKeyExists(kKey));
  std::string error;
  ASSERT_TRUE(LoadRegistry(file, &error)) << error;
  std::remove(file.c_str());
  EXPECT_EQ(RegistryToText(), text);
  EXPECT_TRUE(RegistryKeyExists(kKey + u"\\EmptyKey"));
  EXPECT_EQ(GetRegistryValue(kKey, u"quote \"AND\" slash \\")->String(), u"line\nnext \u00e9\u4e2d");
  EXPECT_EQ(GetRegistryValue(kKey + u"\\Sub\\Deeper", u"Multi")->MultiString(),
            (std::vector<std::u16string>{u"one", u"two"}));
  EXPECT_EQ(GetRegistryValue(kKey, u"OddString")->data, (std::vector<uint8_t>{0x41, 0x00, 0x42}));
  EXPECT_EQ(GetRegistryValue(kKey, u"Other")->type, static_cast<uint32_t>(REG_RESOURCE_LIST));
}

// A save that fails says why, and a failed save never costs the file its settings: the file is
// replaced only once its successor is written whole.
TEST_F(Registry, FailedSaveSaysWhyAndKeepsTheFile) {
  std::string error;
  EXPECT_FALSE(SaveRegistry("/dev/full", &error));
  EXPECT_EQ(error, "No space left on device") << "seen only when the buffered text is flushed";
  EXPECT_FALSE(SaveRegistry(::testing::TempDir() + "no-such-folder/registry.txt", &error));
  EXPECT_EQ(error, "No such file or directory");
  EXPECT_TRUE(SaveRegistry("/dev/null", &error)) << "a device is written in place: " << error;

  const std::string file = ::testing::TempDir() + "kvz_registry_kept.txt";
  CreateRegistryKey(kKey);
  SetRegistryDword(kKey, u"Kept", 7);
  ASSERT_TRUE(SaveRegistry(file));
  const std::string part = file + ".part";
  std::filesystem::create_directory(part);  // the successor cannot be written
  SetRegistryDword(kKey, u"Kept", 8);
  EXPECT_FALSE(SaveRegistry(file, &error));
  std::filesystem::remove(part);
  ResetRegistry();
  ASSERT_TRUE(LoadRegistry(file, &error)) << error;
  std::remove(file.c_str());
  EXPECT_EQ(GetRegistryValue(kKey, u"Kept")->Dword(), 7u);
}

TEST_F(Registry, MalformedTextChangesNothing) {
  SetRegistryDword(kKey, u"Keep", 1);
  std::string error;
  EXPECT_FALSE(RegistryFromText("[\\Registry\\Machine\\X]\n\"A\"=dword:1\n\"B\"=dword:zz\n", &error));
  EXPECT_NE(error.find("line 3"), std::string::npos) << error;
  EXPECT_FALSE(RegistryFromText("\"A\"=dword:1\n", &error)) << "a value needs a key";
  EXPECT_FALSE(RegistryFromText("[\\Elsewhere\\X]\n", &error));
  EXPECT_EQ(GetRegistryValue(kKey, u"Keep")->Dword(), 1u);
  EXPECT_FALSE(RegistryKeyExists(u"\\Registry\\Machine\\X"));
}

TEST_F(Registry, HandlesOfADeletedKeyStayValidButSeeItGone) {
  SetRegistryDword(kKey, u"V", 1);
  HANDLE key = Open(kKey, KEY_READ);
  DeleteRegistryKey(kKey);
  char16_t nameText[] = u"V";
  UNICODE_STRING name{2, 4, nameText};
  UCHAR buffer[32];
  ULONG result = 0;
  EXPECT_NE(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &result), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  EXPECT_CLEAN_UNLOAD();
}

TEST_F(Registry, MmGetSystemRoutineAddressFindsExportsUnlessHidden) {
  char16_t exText[] = u"RtlQueryRegistryValuesEx";
  UNICODE_STRING ex{48, 50, exText};
  EXPECT_EQ(MmGetSystemRoutineAddress(&ex), reinterpret_cast<PVOID>(&RtlQueryRegistryValuesEx));
  HideSystemRoutine(u"RtlQueryRegistryValuesEx");
  EXPECT_EQ(MmGetSystemRoutineAddress(&ex), nullptr);
  ResetSystemRoutines();
  EXPECT_NE(MmGetSystemRoutineAddress(&ex), nullptr);
  char16_t unknownText[] = u"NoSuchRoutine";
  UNICODE_STRING unknown{26, 28, unknownText};
  EXPECT_EQ(MmGetSystemRoutineAddress(&unknown), nullptr);
}

}  // namespace
