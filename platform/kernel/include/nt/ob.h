// Object manager and system threads: object references, handles, thread creation and end.
#pragma once
#include "ke.h"

typedef struct _OBJECT_TYPE* POBJECT_TYPE;

typedef struct _OBJECT_HANDLE_INFORMATION {
  ULONG HandleAttributes;
  ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

#define THREAD_TERMINATE 0x0001
#define THREAD_QUERY_INFORMATION 0x0040
#define THREAD_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)

extern "C" {

extern POBJECT_TYPE* PsThreadType;
extern POBJECT_TYPE* ExEventObjectType;

// ---- Objects and handles ----
NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                         KPROCESSOR_MODE AccessMode, PVOID* Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation);
LONG_PTR FASTCALL ObfReferenceObject(PVOID Object);
LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object);
NTSTATUS NTAPI ZwClose(HANDLE Handle);

// ---- System threads ----
NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                    HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext);
[[noreturn]] NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus);
PETHREAD NTAPI PsGetCurrentThread(void);
HANDLE NTAPI PsGetCurrentThreadId(void);
PEPROCESS NTAPI PsGetCurrentProcess(void);
HANDLE NTAPI PsGetCurrentProcessId(void);
BOOLEAN NTAPI PsIsSystemThread(PETHREAD Thread);

}  // extern "C"

#define ObReferenceObject(Object) ObfReferenceObject(Object)
#define ObDereferenceObject(Object) ObfDereferenceObject(Object)
