// Executive callback objects: named objects on which components register functions that a
// notifier calls in registration order. "\Callback\PowerState" exists from boot; the power
// manager notifies it with PO_CB_* in Argument1 (PO_CB_SYSTEM_STATE_LOCK: Argument2 0 before
// the system leaves S0, 1 after it returns).
#pragma once
#include "../ntdef.h"
#include "../ntstatus.h"
#include "ob.h"

typedef struct _CALLBACK_OBJECT* PCALLBACK_OBJECT;
typedef VOID NTAPI CALLBACK_FUNCTION(PVOID CallbackContext, PVOID Argument1, PVOID Argument2);
typedef CALLBACK_FUNCTION* PCALLBACK_FUNCTION;

extern "C" {

extern POBJECT_TYPE* ExCallbackObjectType;

// Opens the named callback object (or creates it when Create is TRUE); the object comes back
// referenced, to be released with ObDereferenceObject.
NTSTATUS NTAPI ExCreateCallback(PCALLBACK_OBJECT* CallbackObject, POBJECT_ATTRIBUTES ObjectAttributes,
                                BOOLEAN Create, BOOLEAN AllowMultipleCallbacks);
// Null when the object allows one registration and has it. The registration references the object.
PVOID NTAPI ExRegisterCallback(PCALLBACK_OBJECT CallbackObject, PCALLBACK_FUNCTION CallbackFunction,
                               PVOID CallbackContext);
// Returns once no call of this registration is running any more.
VOID NTAPI ExUnregisterCallback(PVOID CallbackRegistration);
VOID NTAPI ExNotifyCallback(PVOID CallbackObject, PVOID Argument1, PVOID Argument2);

}  // extern "C"
