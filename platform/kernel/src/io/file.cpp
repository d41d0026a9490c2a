// Files for the driver: read-only opens of "\SystemRoot\..." names, mapped onto a host folder the
// harness chooses; each path component matches a host entry without regard to case.
// 64-bit inode numbers and sizes on the 32-bit build too (readdir fails on them otherwise).
#define _FILE_OFFSET_BITS 64
#include <dirent.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include "ke/irql_check.h"
#include "kvz/object_manager.h"
#include "kvz/system_testing.h"
#include "rtl/utf16.h"

namespace kvz::kernel {
namespace {

constexpr NTSTATUS kStatusFileIsADirectory = static_cast<NTSTATUS>(0xC00000BAL);
constexpr NTSTATUS kStatusNotADirectory = static_cast<NTSTATUS>(0xC0000103L);

std::mutex g_rootLock;
std::string g_systemRoot;

struct FileObjectBody {
  std::vector<uint8_t> content;
  uint64_t position = 0;
  ACCESS_MASK access = 0;
  std::mutex lock;
};

void DestroyFile(void* body) { DestroyBody<FileObjectBody>(body); }
_OBJECT_TYPE g_fileType{"File", DestroyFile};
POBJECT_TYPE g_fileTypePointer = &g_fileType;

// The host entry in `folder` whose name equals `name` without regard to case.
bool FindEntry(const std::string& folder, const std::u16string& name, std::string* found) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return false;
  bool ok = false;
  while (dirent* entry = readdir(dir)) {
    if (EqualNoCase(FromUtf8(entry->d_name), name)) {
      *found = folder + "/" + entry->d_name;
      ok = true;
      break;
    }
  }
  closedir(dir);
  return ok;
}

NTSTATUS MapName(const std::u16string& name, std::string* hostPath) {
  static const std::u16string kPrefix = u"\\SystemRoot\\";
  if (!StartsWithNoCase(name, kPrefix)) {
    if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
    return STATUS_OBJECT_PATH_NOT_FOUND;
  }
  std::string path = GetSystemRootFolder();
  if (path.empty()) return STATUS_OBJECT_PATH_NOT_FOUND;
  std::u16string rest = name.substr(kPrefix.size());
  std::vector<std::u16string> parts;
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find(u'\\', start);
    if (end == std::u16string::npos) end = rest.size();
    if (end > start) parts.push_back(rest.substr(start, end - start));
    start = end + 1;
  }
  if (parts.empty()) return STATUS_OBJECT_NAME_INVALID;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (parts[i] == u"." || parts[i] == u"..") return STATUS_OBJECT_NAME_INVALID;
    std::string next;
    if (!FindEntry(path, parts[i], &next))
      return i + 1 == parts.size() ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
    path = next;
  }
  *hostPath = path;
  return STATUS_SUCCESS;
}

NTSTATUS FileFromHandle(HANDLE handle, FileObjectBody** file) {
  void* body = nullptr;
  NTSTATUS status = ReferenceObjectByHandle(handle, g_fileTypePointer, &body);
  if (!NT_SUCCESS(status)) return status;
  *file = static_cast<FileObjectBody*>(body);
  return STATUS_SUCCESS;
}

}  // namespace

void SetSystemRootFolder(const std::string& folder) {
  std::lock_guard<std::mutex> hold(g_rootLock);
  g_systemRoot = folder;
}

std::string GetSystemRootFolder() {
  std::lock_guard<std::mutex> hold(g_rootLock);
  return g_systemRoot;
}

}  // namespace kvz::kernel

using namespace kvz::kernel;

extern "C" {
POBJECT_TYPE* IoFileObjectType = &g_fileTypePointer;
}

extern "C" NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                       POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                       PLARGE_INTEGER, ULONG, ULONG, ULONG CreateDisposition, ULONG CreateOptions,
                                       PVOID, ULONG) {
  RequirePassive("ZwCreateFile");
  if (!FileHandle || !ObjectAttributes || !IoStatusBlock || !ObjectAttributes->ObjectName)
    return STATUS_INVALID_PARAMETER;
  auto finish = [&](NTSTATUS status, ULONG_PTR information) {
    IoStatusBlock->Status = status;
    IoStatusBlock->Information = information;
    return status;
  };
  if (ObjectAttributes->RootDirectory) return finish(STATUS_OBJECT_PATH_NOT_FOUND, 0);
  if (DesiredAccess & (GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA)) return finish(STATUS_ACCESS_DENIED, 0);
  if (CreateDisposition != FILE_OPEN && CreateDisposition != FILE_OPEN_IF) return finish(STATUS_ACCESS_DENIED, 0);
  std::string hostPath;
  NTSTATUS status = MapName(FromCounted(ObjectAttributes->ObjectName), &hostPath);
  if (!NT_SUCCESS(status)) return finish(status, status == STATUS_OBJECT_NAME_NOT_FOUND ? FILE_DOES_NOT_EXIST : 0);
  struct stat info;
  if (stat(hostPath.c_str(), &info) != 0) return finish(STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST);
  if (S_ISDIR(info.st_mode)) return finish(kStatusFileIsADirectory, 0);
  if (CreateOptions & FILE_DIRECTORY_FILE) return finish(kStatusNotADirectory, 0);
  std::ifstream in(hostPath, std::ios::binary);
  if (!in) return finish(STATUS_ACCESS_DENIED, 0);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  std::string text = bytes.str();
  auto* file = CreateObjectOf<FileObjectBody>(g_fileTypePointer);
  file->content.assign(text.begin(), text.end());
  file->access = DesiredAccess;
  *FileHandle = CreateHandle(file);
  DereferenceObject(file);
  return finish(STATUS_SUCCESS, FILE_OPENED);
}

extern "C" NTSTATUS NTAPI ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                     PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess, ULONG OpenOptions) {
  return ZwCreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, nullptr, 0, ShareAccess, FILE_OPEN,
                      OpenOptions, nullptr, 0);
}

extern "C" NTSTATUS NTAPI ZwReadFile(HANDLE FileHandle, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK IoStatusBlock,
                                     PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset, PULONG) {
  RequirePassive("ZwReadFile");
  FileObjectBody* file = nullptr;
  NTSTATUS status = FileFromHandle(FileHandle, &file);
  if (!NT_SUCCESS(status)) return status;
  if (!IoStatusBlock || (Length && !Buffer)) {
    DereferenceObject(file);
    return STATUS_INVALID_PARAMETER;
  }
  ULONG_PTR transferred = 0;
  {
    std::lock_guard<std::mutex> hold(file->lock);
    uint64_t at = file->position;
    if (ByteOffset && !(ByteOffset->u.HighPart == -1 &&
                        ByteOffset->u.LowPart == FILE_USE_FILE_POINTER_POSITION))
      at = static_cast<uint64_t>(ByteOffset->QuadPart);
    if (at >= file->content.size() && Length) {
      status = STATUS_END_OF_FILE;
    } else {
      uint64_t left = at < file->content.size() ? file->content.size() - at : 0;
      transferred = static_cast<ULONG_PTR>(left < Length ? left : Length);
      if (transferred) std::memcpy(Buffer, file->content.data() + at, transferred);
      file->position = at + transferred;
    }
  }
  DereferenceObject(file);
  IoStatusBlock->Status = status;
  IoStatusBlock->Information = transferred;
  return status;
}

extern "C" NTSTATUS NTAPI ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                                 PVOID FileInformation, ULONG Length,
                                                 FILE_INFORMATION_CLASS FileInformationClass) {
  RequirePassive("ZwQueryInformationFile");
  FileObjectBody* file = nullptr;
  NTSTATUS status = FileFromHandle(FileHandle, &file);
  if (!NT_SUCCESS(status)) return status;
  ULONG_PTR written = 0;
  {
    std::lock_guard<std::mutex> hold(file->lock);
    if (FileInformationClass == FileStandardInformation) {
      if (Length < sizeof(FILE_STANDARD_INFORMATION)) {
        status = STATUS_INFO_LENGTH_MISMATCH;
      } else {
        auto* info = static_cast<PFILE_STANDARD_INFORMATION>(FileInformation);
        std::memset(info, 0, sizeof(*info));
        info->EndOfFile.QuadPart = static_cast<LONGLONG>(file->content.size());
        info->AllocationSize.QuadPart = static_cast<LONGLONG>(ALIGN_UP_BY(file->content.size(), 4096));
        info->NumberOfLinks = 1;
        written = sizeof(*info);
      }
    } else if (FileInformationClass == FilePositionInformation) {
      if (Length < sizeof(FILE_POSITION_INFORMATION)) {
        status = STATUS_INFO_LENGTH_MISMATCH;
      } else {
        static_cast<PFILE_POSITION_INFORMATION>(FileInformation)->CurrentByteOffset.QuadPart =
            static_cast<LONGLONG>(file->position);
        written = sizeof(FILE_POSITION_INFORMATION);
      }
    } else {
      status = STATUS_INVALID_INFO_CLASS;
    }
  }
  DereferenceObject(file);
  if (IoStatusBlock) {
    IoStatusBlock->Status = status;
    IoStatusBlock->Information = written;
  }
  return status;
}

extern "C" NTSTATUS NTAPI ZwSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                               PVOID FileInformation, ULONG Length,
                                               FILE_INFORMATION_CLASS FileInformationClass) {
  RequirePassive("ZwSetInformationFile");
  FileObjectBody* file = nullptr;
  NTSTATUS status = FileFromHandle(FileHandle, &file);
  if (!NT_SUCCESS(status)) return status;
  if (FileInformationClass != FilePositionInformation) status = STATUS_INVALID_INFO_CLASS;
  else if (Length < sizeof(FILE_POSITION_INFORMATION)) status = STATUS_INFO_LENGTH_MISMATCH;
  else {
    std::lock_guard<std::mutex> hold(file->lock);
    LONGLONG to = static_cast<PFILE_POSITION_INFORMATION>(FileInformation)->CurrentByteOffset.QuadPart;
    if (to < 0) status = STATUS_INVALID_PARAMETER;
    else file->position = static_cast<uint64_t>(to);
  }
  DereferenceObject(file);
  if (IoStatusBlock) {
    IoStatusBlock->Status = status;
    IoStatusBlock->Information = 0;
  }
  return status;
}
