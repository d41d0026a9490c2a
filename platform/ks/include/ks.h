// Kernel streaming: the class driver interface a minidriver is written against (devices,
// filter factories, filters, pins, automation tables, object bags, stream pointers, clocks,
// events) and the structures that cross to the application. Our own declarations written from
// the documented behaviour; structures that cross to the application keep their documented
// layout (natural alignment, so sizes follow the pointer width of the build).
#pragma once

#include "wdm.h"

// Statuses of kernel-streaming requests beyond the kernel's common ones.
#ifndef STATUS_PROPSET_NOT_FOUND
#define STATUS_PROPSET_NOT_FOUND ((NTSTATUS)0xC0000230L)
#endif
#ifndef STATUS_INVALID_BUFFER_SIZE
#define STATUS_INVALID_BUFFER_SIZE ((NTSTATUS)0xC0000206L)
#endif

typedef struct _CM_RESOURCE_LIST* PCM_RESOURCE_LIST;
typedef PVOID PSECURITY_DESCRIPTOR;

// ---- Identifiers -----------------------------------------------------------------------------
// GUID constants are inline objects so that `&KSCATEGORY_VIDEO` is a `const GUID*` as drivers expect.
#define KVZ_KS_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

KVZ_KS_GUID(GUID_NULL, 0x00000000, 0x0000, 0x0000, 0, 0, 0, 0, 0, 0, 0, 0);

KVZ_KS_GUID(KSNAME_Filter, 0x9B365890, 0x165F, 0x11D0, 0xA1, 0x95, 0x00, 0x20, 0xAF, 0xD1, 0x56, 0xE4);
KVZ_KS_GUID(KSNAME_Pin, 0x146F1A80, 0x4791, 0x11D0, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
KVZ_KS_GUID(KSNAME_Clock, 0x53172480, 0x4791, 0x11D0, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
KVZ_KS_GUID(KSNAME_Allocator, 0x642F5D00, 0x4791, 0x11D0, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
// The object-type names used in create requests below a filter.
#define KSSTRING_Pin u"{146F1A80-4791-11D0-A5D6-28DB04C10000}"
#define KSSTRING_Clock u"{53172480-4791-11D0-A5D6-28DB04C10000}"

KVZ_KS_GUID(KSPROPTYPESETID_General, 0x97E99BA0, 0xBDEA, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
KVZ_KS_GUID(KSPROPSETID_General, 0x1464EDA5, 0x6A8F, 0x11D1, 0x9A, 0xA7, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
KVZ_KS_GUID(KSPROPSETID_Pin, 0x8C134960, 0x51AD, 0x11CF, 0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00);
KVZ_KS_GUID(KSPROPSETID_Topology, 0x720D4AC0, 0x7533, 0x11D0, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
KVZ_KS_GUID(KSPROPSETID_Connection, 0x1D58C920, 0xAC9B, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
KVZ_KS_GUID(KSPROPSETID_Stream, 0x65AABA60, 0x98AE, 0x11CF, 0xA1, 0x0D, 0x00, 0x20, 0xAF, 0xD1, 0x56, 0xE4);
KVZ_KS_GUID(KSINTERFACESETID_Standard, 0x1A8766A0, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
KVZ_KS_GUID(KSMEDIUMSETID_Standard, 0x4747B320, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);

KVZ_KS_GUID(KSDATAFORMAT_TYPE_WILDCARD, 0x00000000, 0x0000, 0x0000, 0, 0, 0, 0, 0, 0, 0, 0);
KVZ_KS_GUID(KSDATAFORMAT_SUBTYPE_WILDCARD, 0x00000000, 0x0000, 0x0000, 0, 0, 0, 0, 0, 0, 0, 0);
KVZ_KS_GUID(KSDATAFORMAT_SPECIFIER_WILDCARD, 0x00000000, 0x0000, 0x0000, 0, 0, 0, 0, 0, 0, 0, 0);
KVZ_KS_GUID(KSDATAFORMAT_TYPE_STREAM, 0xE436EB83, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
KVZ_KS_GUID(KSDATAFORMAT_SUBTYPE_NONE, 0xE436EB8E, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
KVZ_KS_GUID(KSDATAFORMAT_SPECIFIER_NONE, 0x0F6417D6, 0xC318, 0x11D0, 0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);

KVZ_KS_GUID(KSMEMORY_TYPE_KERNEL_NONPAGED, 0x4A6D5FC4, 0x7895, 0x11D1, 0xB0, 0x69, 0x00, 0xA0, 0xC9, 0x06, 0x28, 0x02);
KVZ_KS_GUID(KSMEMORY_TYPE_KERNEL_PAGED, 0xD833F8F8, 0x7894, 0x11D1, 0xB0, 0x69, 0x00, 0xA0, 0xC9, 0x06, 0x28, 0x02);

KVZ_KS_GUID(KSCATEGORY_CAPTURE, 0x65E8773D, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
KVZ_KS_GUID(KSCATEGORY_VIDEO, 0x6994AD05, 0x93EF, 0x11D0, 0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
KVZ_KS_GUID(KSCATEGORY_VIDEO_CAMERA, 0xE5323777, 0xF976, 0x4F5B, 0x9B, 0x55, 0xB9, 0x46, 0x99, 0xC4, 0x6E, 0x44);
KVZ_KS_GUID(KSCATEGORY_SENSOR_CAMERA, 0x24E552D7, 0x6523, 0x47F7, 0xA6, 0x47, 0xD3, 0x46, 0x5B, 0xF1, 0xF5, 0xCA);

KVZ_KS_GUID(KSNODETYPE_DEV_SPECIFIC, 0x941C7AC0, 0xC559, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1);

// ---- Basic structures --------------------------------------------------------------------------
typedef struct {
  union {
    struct {
      GUID Set;
      ULONG Id;
      ULONG Flags;
    };
    alignas(8) LONGLONG Alignment;
  };
} KSIDENTIFIER, *PKSIDENTIFIER;

typedef KSIDENTIFIER KSPROPERTY, *PKSPROPERTY, KSMETHOD, *PKSMETHOD, KSEVENT, *PKSEVENT;
typedef KSIDENTIFIER KSPIN_INTERFACE, *PKSPIN_INTERFACE, KSPIN_MEDIUM, *PKSPIN_MEDIUM;

#define KSPROPERTY_TYPE_GET 0x00000001
#define KSPROPERTY_TYPE_SET 0x00000002
#define KSPROPERTY_TYPE_SETSUPPORT 0x00000100
#define KSPROPERTY_TYPE_BASICSUPPORT 0x00000200
#define KSPROPERTY_TYPE_RELATIONS 0x00000400
#define KSPROPERTY_TYPE_SERIALIZESET 0x00000800
#define KSPROPERTY_TYPE_UNSERIALIZESET 0x00001000
#define KSPROPERTY_TYPE_SERIALIZERAW 0x00002000
#define KSPROPERTY_TYPE_UNSERIALIZERAW 0x00004000
#define KSPROPERTY_TYPE_SERIALIZESIZE 0x00008000
#define KSPROPERTY_TYPE_DEFAULTVALUES 0x00010000
#define KSPROPERTY_TYPE_TOPOLOGY 0x10000000

#define KSMETHOD_TYPE_NONE 0x00000000
#define KSMETHOD_TYPE_READ 0x00000001
#define KSMETHOD_TYPE_WRITE 0x00000002
#define KSMETHOD_TYPE_SEND 0x00000001
#define KSMETHOD_TYPE_TOPOLOGY 0x10000000

#define KSEVENT_TYPE_ENABLE 0x00000001
#define KSEVENT_TYPE_ONESHOT 0x00000002
#define KSEVENT_TYPE_ENABLEBUFFERED 0x00000004
#define KSEVENT_TYPE_SETSUPPORT 0x00000100
#define KSEVENT_TYPE_BASICSUPPORT 0x00000200
#define KSEVENT_TYPE_QUERYBUFFER 0x00000400
#define KSEVENT_TYPE_TOPOLOGY 0x10000000

typedef struct {
  KSPROPERTY Property;
  ULONG NodeId;
  ULONG Reserved;
} KSP_NODE, *PKSP_NODE;

typedef struct {
  KSMETHOD Method;
  ULONG NodeId;
  ULONG Reserved;
} KSM_NODE, *PKSM_NODE;

typedef struct {
  KSEVENT Event;
  ULONG NodeId;
  ULONG Reserved;
} KSE_NODE, *PKSE_NODE;

typedef struct {
  KSPROPERTY Property;
  ULONG PinId;
  union {
    ULONG Reserved;
    ULONG Flags;
  };
} KSP_PIN, *PKSP_PIN;

typedef struct {
  ULONG Size;
  ULONG Count;
} KSMULTIPLE_ITEM, *PKSMULTIPLE_ITEM;

typedef struct {
  ULONG PriorityClass;
  ULONG PrioritySubClass;
} KSPRIORITY, *PKSPRIORITY;

#define KSPRIORITY_LOW 0x00000001
#define KSPRIORITY_NORMAL 0x40000000
#define KSPRIORITY_HIGH 0x80000000
#define KSPRIORITY_EXCLUSIVE 0xFFFFFFFF

typedef struct {
  alignas(8) LONGLONG Time;
  ULONG Numerator;
  ULONG Denominator;
} KSTIME, *PKSTIME;

typedef struct {
  alignas(8) LONGLONG Granularity;
  LONGLONG Error;
} KSRESOLUTION, *PKSRESOLUTION;

typedef enum { KSSTATE_STOP, KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN } KSSTATE, *PKSSTATE;
typedef enum { KSRESET_BEGIN, KSRESET_END } KSRESET;

typedef enum { KSPIN_DATAFLOW_IN = 1, KSPIN_DATAFLOW_OUT } KSPIN_DATAFLOW, *PKSPIN_DATAFLOW;

typedef enum {
  KSPIN_COMMUNICATION_NONE,
  KSPIN_COMMUNICATION_SINK,
  KSPIN_COMMUNICATION_SOURCE,
  KSPIN_COMMUNICATION_BOTH,
  KSPIN_COMMUNICATION_BRIDGE
} KSPIN_COMMUNICATION, *PKSPIN_COMMUNICATION;

#define KSINTERFACE_STANDARD_STREAMING 0
#define KSMEDIUM_TYPE_ANYINSTANCE 0

// Data formats and ranges share one 64-byte header.
typedef union {
  struct {
    ULONG FormatSize;
    ULONG Flags;
    ULONG SampleSize;
    ULONG Reserved;
    GUID MajorFormat;
    GUID SubFormat;
    GUID Specifier;
  };
  LONGLONG Alignment;
} KSDATAFORMAT, *PKSDATAFORMAT, KSDATARANGE, *PKSDATARANGE;

#define KSDATAFORMAT_ATTRIBUTES 0x00000002
#define KSDATARANGE_ATTRIBUTES 0x00000002
#define KSDATARANGE_REQUIRED_ATTRIBUTES 0x00000004

typedef struct {
  ULONG Size;
  ULONG Flags;
  GUID Attribute;
} KSATTRIBUTE, *PKSATTRIBUTE;

typedef struct _KSATTRIBUTE_LIST {
  ULONG Count;
  PKSATTRIBUTE* Attributes;
} KSATTRIBUTE_LIST, *PKSATTRIBUTE_LIST;

// A client's pin-create request: this header followed by the data format.
typedef struct {
  KSPIN_INTERFACE Interface;
  KSPIN_MEDIUM Medium;
  ULONG PinId;
  HANDLE PinToHandle;
  KSPRIORITY Priority;
} KSPIN_CONNECT, *PKSPIN_CONNECT;

typedef struct {
  ULONG PossibleCount;
  ULONG CurrentCount;
} KSPIN_CINSTANCES, *PKSPIN_CINSTANCES;

typedef struct {
  ULONG FromNode;
  ULONG FromNodePin;
  ULONG ToNode;
  ULONG ToNodePin;
} KSTOPOLOGY_CONNECTION, *PKSTOPOLOGY_CONNECTION;

#define KSFILTER_NODE ((ULONG)-1)
#define KSALL_NODES ((ULONG)-1)

typedef struct {
  GUID Manufacturer;
  GUID Product;
  GUID Component;
  GUID Name;
  ULONG Version;
  ULONG Revision;
} KSCOMPONENTID, *PKSCOMPONENTID;

// ---- Property, method and event descriptions -------------------------------------------------
typedef NTSTATUS NTAPI KSHANDLER_ROUTINE(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
typedef KSHANDLER_ROUTINE* PFNKSHANDLER;

typedef struct {
  ULONG MembersFlags;
  ULONG MembersSize;
  ULONG MembersCount;
  ULONG Flags;
} KSPROPERTY_MEMBERSHEADER, *PKSPROPERTY_MEMBERSHEADER;

#define KSPROPERTY_MEMBER_RANGES 0x00000001
#define KSPROPERTY_MEMBER_STEPPEDRANGES 0x00000002
#define KSPROPERTY_MEMBER_VALUES 0x00000003
#define KSPROPERTY_MEMBER_FLAG_DEFAULT 0x00000001
#define KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL 0x00000002
#define KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_UNIFORM 0x00000004

typedef union {
  struct {
    LONG SignedMinimum;
    LONG SignedMaximum;
  };
  struct {
    ULONG UnsignedMinimum;
    ULONG UnsignedMaximum;
  };
} KSPROPERTY_BOUNDS_LONG, *PKSPROPERTY_BOUNDS_LONG;

typedef union {
  struct {
    alignas(8) LONGLONG SignedMinimum;
    LONGLONG SignedMaximum;
  };
  struct {
    ULONGLONG UnsignedMinimum;
    ULONGLONG UnsignedMaximum;
  };
} KSPROPERTY_BOUNDS_LONGLONG, *PKSPROPERTY_BOUNDS_LONGLONG;

typedef struct {
  ULONG SteppingDelta;
  ULONG Reserved;
  KSPROPERTY_BOUNDS_LONG Bounds;
} KSPROPERTY_STEPPING_LONG, *PKSPROPERTY_STEPPING_LONG;

typedef struct {
  alignas(8) ULONGLONG SteppingDelta;
  KSPROPERTY_BOUNDS_LONGLONG Bounds;
} KSPROPERTY_STEPPING_LONGLONG, *PKSPROPERTY_STEPPING_LONGLONG;

typedef struct {
  KSPROPERTY_MEMBERSHEADER MembersHeader;
  const VOID* Members;
} KSPROPERTY_MEMBERSLIST, *PKSPROPERTY_MEMBERSLIST;

typedef struct {
  KSIDENTIFIER PropTypeSet;
  ULONG MembersListCount;
  const KSPROPERTY_MEMBERSLIST* MembersList;
} KSPROPERTY_VALUES, *PKSPROPERTY_VALUES;

// What a basic-support request answers first; the members headers and values follow it.
typedef struct {
  ULONG AccessFlags;
  ULONG DescriptionSize;
  KSIDENTIFIER PropTypeSet;
  ULONG MembersListCount;
  ULONG Reserved;
} KSPROPERTY_DESCRIPTION, *PKSPROPERTY_DESCRIPTION;

// Value types of KSPROPTYPESETID_General (the OLE variant numbers).
#define VT_I2 2
#define VT_I4 3
#define VT_BOOL 11
#define VT_UI1 17
#define VT_UI2 18
#define VT_UI4 19
#define VT_I8 20
#define VT_UI8 21

typedef struct {
  ULONG PropertyId;
  union {
    PFNKSHANDLER GetPropertyHandler;
    BOOLEAN GetSupported;
  };
  ULONG MinProperty;
  ULONG MinData;
  union {
    PFNKSHANDLER SetPropertyHandler;
    BOOLEAN SetSupported;
  };
  const KSPROPERTY_VALUES* Values;
  ULONG RelationsCount;
  const KSPROPERTY* Relations;
  PFNKSHANDLER SupportHandler;
  ULONG SerializedSize;
} KSPROPERTY_ITEM, *PKSPROPERTY_ITEM;

typedef struct {
  ULONG PropertyId;
  PVOID GetPropertyHandler;
  PVOID SetPropertyHandler;
} KSFASTPROPERTY_ITEM, *PKSFASTPROPERTY_ITEM;

typedef struct {
  const GUID* Set;
  ULONG PropertiesCount;
  const KSPROPERTY_ITEM* PropertyItem;
  ULONG FastIoCount;
  const KSFASTPROPERTY_ITEM* FastIoTable;
} KSPROPERTY_SET, *PKSPROPERTY_SET;

typedef struct {
  ULONG MethodId;
  union {
    PFNKSHANDLER MethodHandler;
    BOOLEAN MethodSupported;
  };
  ULONG MinMethod;
  ULONG MinData;
  PFNKSHANDLER SupportHandler;
  ULONG Flags;
} KSMETHOD_ITEM, *PKSMETHOD_ITEM;

typedef struct {
  const GUID* Set;
  ULONG MethodsCount;
  const KSMETHOD_ITEM* MethodItem;
  ULONG FastIoCount;
  const VOID* FastIoTable;
} KSMETHOD_SET, *PKSMETHOD_SET;

#ifndef EVENT_MODIFY_STATE
#define EVENT_MODIFY_STATE 0x0002
#endif

// How a client asks to be told of an event: event handles (what applications pass), kernel
// event and semaphore objects.
#define KSEVENTF_EVENT_HANDLE 0x00000001
#define KSEVENTF_SEMAPHORE_HANDLE 0x00000002
#define KSEVENTF_EVENT_OBJECT 0x00000004
#define KSEVENTF_SEMAPHORE_OBJECT 0x00000008
#define KSEVENTF_DPC 0x00000010
#define KSEVENTF_WORKITEM 0x00000020
#define KSEVENTF_KSWORKITEM 0x00000080

typedef struct {
  ULONG NotificationType;
  union {
    struct {
      HANDLE Event;
      ULONG_PTR Reserved[2];
    } EventHandle;
    struct {
      HANDLE Semaphore;
      ULONG Reserved;
      LONG Adjustment;
    } SemaphoreHandle;
    struct {
      PVOID Event;
      KPRIORITY Increment;
      ULONG_PTR Reserved;
    } EventObject;
    struct {
      PVOID Semaphore;
      KPRIORITY Increment;
      LONG Adjustment;
    } SemaphoreObject;
    struct {
      ULONG_PTR Unused;
      LONG_PTR Alignment[2];
    } Alignment;
  };
} KSEVENTDATA, *PKSEVENTDATA;

struct _KSEVENT_ENTRY;
typedef struct _KSEVENT_ENTRY KSEVENT_ENTRY, *PKSEVENT_ENTRY;

typedef NTSTATUS NTAPI KSADDEVENT_ROUTINE(PIRP Irp, PKSEVENTDATA EventData, PKSEVENT_ENTRY EventEntry);
typedef KSADDEVENT_ROUTINE* PFNKSADDEVENT;
typedef VOID NTAPI KSREMOVEEVENT_ROUTINE(PFILE_OBJECT FileObject, PKSEVENT_ENTRY EventEntry);
typedef KSREMOVEEVENT_ROUTINE* PFNKSREMOVEEVENT;

typedef struct {
  ULONG EventId;
  ULONG DataInput;
  ULONG ExtraEntryData;
  PFNKSADDEVENT AddHandler;
  PFNKSREMOVEEVENT RemoveHandler;
  PFNKSHANDLER SupportHandler;
} KSEVENT_ITEM, *PKSEVENT_ITEM;

typedef struct {
  const GUID* Set;
  ULONG EventsCount;
  const KSEVENT_ITEM* EventItem;
} KSEVENT_SET, *PKSEVENT_SET;

struct _KSEVENT_ENTRY {
  LIST_ENTRY ListEntry;
  PVOID Object;
  PVOID Reserved0;
  PKSEVENTDATA EventData;
  ULONG NotificationType;
  const KSEVENT_SET* EventSet;
  const KSEVENT_ITEM* EventItem;
  PFILE_OBJECT FileObject;
  ULONG SemaphoreAdjustment;
  ULONG Reserved;
  ULONG Flags;
};

typedef BOOLEAN NTAPI KSGENERATEEVENT_CALLBACK(PVOID Context, PKSEVENT_ENTRY EventEntry);
typedef KSGENERATEEVENT_CALLBACK* PFNKSGENERATEEVENTCALLBACK;

typedef struct {
  ULONG PropertySetsCount;
  ULONG PropertyItemSize;
  const KSPROPERTY_SET* PropertySets;
  ULONG MethodSetsCount;
  ULONG MethodItemSize;
  const KSMETHOD_SET* MethodSets;
  ULONG EventSetsCount;
  ULONG EventItemSize;
  const KSEVENT_SET* EventSets;
#if !defined(__x86_64__)
  PVOID Alignment = nullptr;
#endif
} KSAUTOMATION_TABLE, *PKSAUTOMATION_TABLE;

// ---- Standard property sets ----------------------------------------------------------------------
typedef enum {
  KSPROPERTY_PIN_CINSTANCES,
  KSPROPERTY_PIN_CTYPES,
  KSPROPERTY_PIN_DATAFLOW,
  KSPROPERTY_PIN_DATARANGES,
  KSPROPERTY_PIN_DATAINTERSECTION,
  KSPROPERTY_PIN_INTERFACES,
  KSPROPERTY_PIN_MEDIUMS,
  KSPROPERTY_PIN_COMMUNICATION,
  KSPROPERTY_PIN_GLOBALCINSTANCES,
  KSPROPERTY_PIN_NECESSARYINSTANCES,
  KSPROPERTY_PIN_PHYSICALCONNECTION,
  KSPROPERTY_PIN_CATEGORY,
  KSPROPERTY_PIN_NAME,
  KSPROPERTY_PIN_CONSTRAINEDDATARANGES,
  KSPROPERTY_PIN_PROPOSEDATAFORMAT
} KSPROPERTY_PIN;

typedef enum {
  KSPROPERTY_TOPOLOGY_CATEGORIES,
  KSPROPERTY_TOPOLOGY_NODES,
  KSPROPERTY_TOPOLOGY_CONNECTIONS,
  KSPROPERTY_TOPOLOGY_NAME
} KSPROPERTY_TOPOLOGY;

typedef enum {
  KSPROPERTY_CONNECTION_STATE,
  KSPROPERTY_CONNECTION_PRIORITY,
  KSPROPERTY_CONNECTION_DATAFORMAT,
  KSPROPERTY_CONNECTION_ALLOCATORFRAMING,
  KSPROPERTY_CONNECTION_PROPOSEDATAFORMAT,
  KSPROPERTY_CONNECTION_ACQUIREORDERING,
  KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX,
  KSPROPERTY_CONNECTION_STARTAT
} KSPROPERTY_CONNECTION;

typedef enum {
  KSPROPERTY_STREAM_ALLOCATOR,
  KSPROPERTY_STREAM_QUALITY,
  KSPROPERTY_STREAM_DEGRADATION,
  KSPROPERTY_STREAM_MASTERCLOCK,
  KSPROPERTY_STREAM_TIMEFORMAT,
  KSPROPERTY_STREAM_PRESENTATIONTIME,
  KSPROPERTY_STREAM_PRESENTATIONEXTENT,
  KSPROPERTY_STREAM_FRAMETIME,
  KSPROPERTY_STREAM_RATECAPABILITY,
  KSPROPERTY_STREAM_RATE,
  KSPROPERTY_STREAM_PIPE_ID
} KSPROPERTY_STREAM;

// ---- Allocator framing ---------------------------------------------------------------------------
typedef struct {
  ULONG MinFrameSize;
  ULONG MaxFrameSize;
  ULONG Stepping;
} KS_FRAMING_RANGE, *PKS_FRAMING_RANGE;

typedef struct {
  KS_FRAMING_RANGE Range;
  ULONG InPlaceWeight;
  ULONG NotInPlaceWeight;
} KS_FRAMING_RANGE_WEIGHTED, *PKS_FRAMING_RANGE_WEIGHTED;

typedef struct {
  ULONG RatioNumerator;
  ULONG RatioDenominator;
  ULONG RatioConstantMargin;
} KS_COMPRESSION, *PKS_COMPRESSION;

typedef struct {
  GUID MemoryType;
  GUID BusType;
  ULONG MemoryFlags;
  ULONG BusFlags;
  ULONG Flags;
  ULONG Frames;
  union {
    ULONG FileAlignment;
    LONG FramePitch;
  };
  ULONG MemoryTypeWeight;
  KS_FRAMING_RANGE PhysicalRange;
  KS_FRAMING_RANGE_WEIGHTED FramingRange;
} KS_FRAMING_ITEM, *PKS_FRAMING_ITEM;

typedef struct {
  ULONG CountItems;
  ULONG PinFlags;
  KS_COMPRESSION OutputCompression;
  ULONG PinWeight;
  KS_FRAMING_ITEM FramingItem[1];
} KSALLOCATOR_FRAMING_EX, *PKSALLOCATOR_FRAMING_EX;

#define KSALLOCATOR_REQUIREMENTF_INPLACE_MODIFIER 0x00000001
#define KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY 0x00000002
#define KSALLOCATOR_REQUIREMENTF_FRAME_INTEGRITY 0x00000004
#define KSALLOCATOR_REQUIREMENTF_MUST_ALLOCATE 0x00000008
#define KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY 0x80000000

// ---- Streaming ------------------------------------------------------------------------------------
typedef struct {
  ULONG Size;
  ULONG TypeSpecificFlags;
  KSTIME PresentationTime;
  alignas(8) LONGLONG Duration;
  ULONG FrameExtent;
  ULONG DataUsed;
  PVOID Data;
  ULONG OptionsFlags;
#if defined(__x86_64__)
  ULONG Reserved;
#endif
} KSSTREAM_HEADER, *PKSSTREAM_HEADER;

#define KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT 0x00000001
#define KSSTREAM_HEADER_OPTIONSF_PREROLL 0x00000002
#define KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY 0x00000004
#define KSSTREAM_HEADER_OPTIONSF_TYPECHANGED 0x00000008
#define KSSTREAM_HEADER_OPTIONSF_TIMEVALID 0x00000010
#define KSSTREAM_HEADER_OPTIONSF_TIMEDISCONTINUITY 0x00000040
#define KSSTREAM_HEADER_OPTIONSF_FLUSHONPAUSE 0x00000080
#define KSSTREAM_HEADER_OPTIONSF_DURATIONVALID 0x00000100
#define KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM 0x00000200

typedef struct {
  PUCHAR Data;
  ULONG Count;
  ULONG Remaining;
} KSSTREAM_POINTER_OFFSET, *PKSSTREAM_POINTER_OFFSET;

struct _KSPIN;
typedef struct _KSSTREAM_POINTER {
  PVOID Context;
  struct _KSPIN* Pin;
  PKSSTREAM_HEADER StreamHeader;
  PKSSTREAM_POINTER_OFFSET Offset;
  KSSTREAM_POINTER_OFFSET OffsetIn;
  KSSTREAM_POINTER_OFFSET OffsetOut;
} KSSTREAM_POINTER, *PKSSTREAM_POINTER;

typedef enum { KSSTREAM_POINTER_STATE_UNLOCKED = 0, KSSTREAM_POINTER_STATE_LOCKED } KSSTREAM_POINTER_STATE;

// ---- Device-control codes of kernel-streaming objects ---------------------------------------------
#ifndef FILE_DEVICE_KS
#define FILE_DEVICE_KS 0x0000002F
#endif
#define KVZ_KS_CTL_CODE(Function, Method, Access) \
  ((ULONG)((FILE_DEVICE_KS << 16) | ((Access) << 14) | ((Function) << 2) | (Method)))
#define IOCTL_KS_PROPERTY KVZ_KS_CTL_CODE(0x000, 3, 0)
#define IOCTL_KS_ENABLE_EVENT KVZ_KS_CTL_CODE(0x001, 3, 0)
#define IOCTL_KS_DISABLE_EVENT KVZ_KS_CTL_CODE(0x002, 3, 0)
#define IOCTL_KS_METHOD KVZ_KS_CTL_CODE(0x003, 3, 0)
#define IOCTL_KS_WRITE_STREAM KVZ_KS_CTL_CODE(0x004, 3, 2)
#define IOCTL_KS_READ_STREAM KVZ_KS_CTL_CODE(0x005, 3, 1)
#define IOCTL_KS_RESET_STATE KVZ_KS_CTL_CODE(0x006, 3, 0)

// ---- Reference clock ---------------------------------------------------------------------------------
#ifndef KVZ_IUNKNOWN_DEFINED
#define KVZ_IUNKNOWN_DEFINED
typedef const GUID& REFIID;
struct IUnknown {
  virtual NTSTATUS QueryInterface(REFIID InterfaceId, PVOID* Interface) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};
typedef IUnknown* PUNKNOWN;
#endif

struct IKsReferenceClock : public IUnknown {
  virtual LONGLONG GetTime() = 0;
  virtual LONGLONG GetPhysicalTime() = 0;
  // Returns the clock's time and writes the system time it corresponds to.
  virtual LONGLONG GetCorrelatedTime(PLONGLONG SystemTime) = 0;
  virtual LONGLONG GetCorrelatedPhysicalTime(PLONGLONG SystemTime) = 0;
  virtual NTSTATUS GetResolution(PKSRESOLUTION Resolution) = 0;
  virtual NTSTATUS GetState(PKSSTATE State) = 0;

 protected:
  ~IKsReferenceClock() = default;
};
typedef IKsReferenceClock* PIKSREFERENCECLOCK;

// ---- Objects: device, filter factory, filter, pin -------------------------------------------------
typedef PVOID KSOBJECT_BAG;
typedef VOID NTAPI KSOBJECT_BAG_FREE_ROUTINE(PVOID Item);
typedef KSOBJECT_BAG_FREE_ROUTINE* PFNKSFREE;

struct _KSDEVICE;
struct _KSFILTER;
struct _KSFILTERFACTORY;
typedef struct _KSDEVICE KSDEVICE, *PKSDEVICE;
typedef struct _KSFILTER KSFILTER, *PKSFILTER;
typedef struct _KSFILTERFACTORY KSFILTERFACTORY, *PKSFILTERFACTORY;
typedef struct _KSPIN KSPIN, *PKSPIN;

typedef NTSTATUS NTAPI KSDEVICE_CREATE_ROUTINE(PKSDEVICE Device);
typedef KSDEVICE_CREATE_ROUTINE* PFNKSDEVICECREATE;
typedef NTSTATUS NTAPI KSDEVICE_PNPSTART_ROUTINE(PKSDEVICE Device, PIRP Irp, PCM_RESOURCE_LIST TranslatedResourceList,
                                                 PCM_RESOURCE_LIST UntranslatedResourceList);
typedef KSDEVICE_PNPSTART_ROUTINE* PFNKSDEVICEPNPSTART;
typedef NTSTATUS NTAPI KSDEVICE_ROUTINE(PKSDEVICE Device);
typedef KSDEVICE_ROUTINE* PFNKSDEVICE;
typedef NTSTATUS NTAPI KSDEVICE_IRP_ROUTINE(PKSDEVICE Device, PIRP Irp);
typedef KSDEVICE_IRP_ROUTINE* PFNKSDEVICEIRP;
typedef VOID NTAPI KSDEVICE_IRPVOID_ROUTINE(PKSDEVICE Device, PIRP Irp);
typedef KSDEVICE_IRPVOID_ROUTINE* PFNKSDEVICEIRPVOID;
typedef NTSTATUS NTAPI KSDEVICE_QUERYCAPABILITIES_ROUTINE(PKSDEVICE Device, PIRP Irp,
                                                          PDEVICE_CAPABILITIES Capabilities);
typedef KSDEVICE_QUERYCAPABILITIES_ROUTINE* PFNKSDEVICEQUERYCAPABILITIES;
typedef NTSTATUS NTAPI KSDEVICE_QUERYPOWER_ROUTINE(PKSDEVICE Device, PIRP Irp, DEVICE_POWER_STATE DeviceTo,
                                                   DEVICE_POWER_STATE DeviceFrom, SYSTEM_POWER_STATE SystemTo,
                                                   SYSTEM_POWER_STATE SystemFrom, POWER_ACTION Action);
typedef KSDEVICE_QUERYPOWER_ROUTINE* PFNKSDEVICEQUERYPOWER;
typedef VOID NTAPI KSDEVICE_SETPOWER_ROUTINE(PKSDEVICE Device, PIRP Irp, DEVICE_POWER_STATE To,
                                             DEVICE_POWER_STATE From);
typedef KSDEVICE_SETPOWER_ROUTINE* PFNKSDEVICESETPOWER;

typedef struct {
  PFNKSDEVICECREATE Add;
  PFNKSDEVICEPNPSTART Start;
  PFNKSDEVICE PostStart;
  PFNKSDEVICEIRP QueryStop;
  PFNKSDEVICEIRPVOID CancelStop;
  PFNKSDEVICEIRPVOID Stop;
  PFNKSDEVICEIRP QueryRemove;
  PFNKSDEVICEIRPVOID CancelRemove;
  PFNKSDEVICEIRPVOID Remove;
  PFNKSDEVICEQUERYCAPABILITIES QueryCapabilities;
  PFNKSDEVICEIRPVOID SurpriseRemoval;
  PFNKSDEVICEQUERYPOWER QueryPower;
  PFNKSDEVICESETPOWER SetPower;
  PFNKSDEVICEIRP QueryInterface;
} KSDEVICE_DISPATCH, *PKSDEVICE_DISPATCH;

struct _KSFILTER_DESCRIPTOR;
typedef struct _KSFILTER_DESCRIPTOR KSFILTER_DESCRIPTOR, *PKSFILTER_DESCRIPTOR;

#define KSDEVICE_DESCRIPTOR_VERSION 0x100
#define KSDEVICE_DESCRIPTOR_VERSION_2 0x110

typedef struct {
  const KSDEVICE_DISPATCH* Dispatch;
  ULONG FilterDescriptorsCount;
  const KSFILTER_DESCRIPTOR* const* FilterDescriptors;
  ULONG Version;
  ULONG Flags;
} KSDEVICE_DESCRIPTOR, *PKSDEVICE_DESCRIPTOR;

struct _KSDEVICE {
  const KSDEVICE_DESCRIPTOR* Descriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
  PDEVICE_OBJECT FunctionalDeviceObject;
  PDEVICE_OBJECT PhysicalDeviceObject;
  PDEVICE_OBJECT NextDeviceObject;
  BOOLEAN Started;
  SYSTEM_POWER_STATE SystemPowerState;
  DEVICE_POWER_STATE DevicePowerState;
};

typedef NTSTATUS NTAPI KSFILTER_IRP_ROUTINE(PKSFILTER Filter, PIRP Irp);
typedef KSFILTER_IRP_ROUTINE* PFNKSFILTERIRP;
struct _KSPROCESSPIN_INDEXENTRY;
typedef NTSTATUS NTAPI KSFILTER_PROCESS_ROUTINE(PKSFILTER Filter, struct _KSPROCESSPIN_INDEXENTRY* ProcessPinsIndex);
typedef KSFILTER_PROCESS_ROUTINE* PFNKSFILTERPROCESS;
typedef VOID NTAPI KSFILTER_VOID_ROUTINE(PKSFILTER Filter);
typedef KSFILTER_VOID_ROUTINE* PFNKSFILTERVOID;

typedef struct {
  PFNKSFILTERIRP Create;
  PFNKSFILTERIRP Close;
  PFNKSFILTERPROCESS Process;
  PFNKSFILTERVOID Reset;
} KSFILTER_DISPATCH, *PKSFILTER_DISPATCH;

typedef struct {
  const KSAUTOMATION_TABLE* AutomationTable;
  const GUID* Type;
  const GUID* Name;
#if !defined(__x86_64__)
  PVOID Alignment = nullptr;
#endif
} KSNODE_DESCRIPTOR, *PKSNODE_DESCRIPTOR;

typedef struct {
  ULONG InterfacesCount;
  const KSPIN_INTERFACE* Interfaces;
  ULONG MediumsCount;
  const KSPIN_MEDIUM* Mediums;
  ULONG DataRangesCount;
  const PKSDATARANGE* DataRanges;
  KSPIN_DATAFLOW DataFlow;
  KSPIN_COMMUNICATION Communication;
  const GUID* Category;
  const GUID* Name;
  union {
    alignas(8) LONGLONG Reserved;
    struct {
      ULONG ConstrainedDataRangesCount;
      PKSDATARANGE* ConstrainedDataRanges;
    };
  };
} KSPIN_DESCRIPTOR, *PKSPIN_DESCRIPTOR;

typedef NTSTATUS NTAPI KSPIN_IRP_ROUTINE(PKSPIN Pin, PIRP Irp);
typedef KSPIN_IRP_ROUTINE* PFNKSPINIRP;
typedef NTSTATUS NTAPI KSPIN_ROUTINE(PKSPIN Pin);
typedef KSPIN_ROUTINE* PFNKSPIN;
typedef VOID NTAPI KSPIN_VOID_ROUTINE(PKSPIN Pin);
typedef KSPIN_VOID_ROUTINE* PFNKSPINVOID;
typedef NTSTATUS NTAPI KSPIN_SETDATAFORMAT_ROUTINE(PKSPIN Pin, PKSDATAFORMAT OldFormat,
                                                   PKSMULTIPLE_ITEM OldAttributeList, const KSDATARANGE* DataRange,
                                                   const KSATTRIBUTE_LIST* AttributeRange);
typedef KSPIN_SETDATAFORMAT_ROUTINE* PFNKSPINSETDATAFORMAT;
typedef NTSTATUS NTAPI KSPIN_SETDEVICESTATE_ROUTINE(PKSPIN Pin, KSSTATE ToState, KSSTATE FromState);
typedef KSPIN_SETDEVICESTATE_ROUTINE* PFNKSPINSETDEVICESTATE;
typedef NTSTATUS NTAPI KSINTERSECTHANDLEREX_ROUTINE(PVOID Context, PIRP Irp, PKSP_PIN Pin, PKSDATARANGE DataRange,
                                                    PKSDATARANGE MatchingDataRange, ULONG DataBufferSize,
                                                    PVOID Data, PULONG DataSize);
typedef KSINTERSECTHANDLEREX_ROUTINE* PFNKSINTERSECTHANDLEREX;

typedef struct {
  PFNKSPINIRP Create;
  PFNKSPINIRP Close;
  PFNKSPIN Process;
  PFNKSPINVOID Reset;
  PFNKSPINSETDATAFORMAT SetDataFormat;
  PFNKSPINSETDEVICESTATE SetDeviceState;
  PFNKSPIN Connect;
  PFNKSPINVOID Disconnect;
  const VOID* Clock;
  const VOID* Allocator;
} KSPIN_DISPATCH, *PKSPIN_DISPATCH;

typedef struct {
  const KSPIN_DISPATCH* Dispatch;
  const KSAUTOMATION_TABLE* AutomationTable;
  KSPIN_DESCRIPTOR PinDescriptor;
  ULONG Flags;
  ULONG InstancesPossible;
  ULONG InstancesNecessary;
  const KSALLOCATOR_FRAMING_EX* AllocatorFraming;
  PFNKSINTERSECTHANDLEREX IntersectHandler;
} KSPIN_DESCRIPTOR_EX, *PKSPIN_DESCRIPTOR_EX;

#define KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING 0x00000001
#define KSPIN_FLAG_CRITICAL_PROCESSING 0x00000002
#define KSPIN_FLAG_HYPERCRITICAL_PROCESSING 0x00000004
#define KSPIN_FLAG_ASYNCHRONOUS_PROCESSING 0x00000008
#define KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING 0x00000010
#define KSPIN_FLAG_INITIATE_PROCESSING_ON_EVERY_ARRIVAL 0x00000020
#define KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING 0x00000040
#define KSPIN_FLAG_ENFORCE_FIFO 0x00000080
#define KSPIN_FLAG_GENERATE_MAPPINGS 0x00000100
#define KSPIN_FLAG_DISTINCT_TRAILING_EDGE 0x00000200
#define KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY 0x00010000
#define KSPIN_FLAG_SPLITTER 0x00020000
#define KSPIN_FLAG_USE_STANDARD_TRANSPORT 0x00040000
#define KSPIN_FLAG_DO_NOT_USE_STANDARD_TRANSPORT 0x00080000
#define KSPIN_FLAG_FIXED_FORMAT 0x00100000
#define KSPIN_FLAG_GENERATE_EOS_EVENTS 0x00200000
#define KSPIN_FLAG_IMPLEMENT_CLOCK 0x00400000
#define KSPIN_FLAG_SOME_FRAMES_REQUIRED_FOR_PROCESSING 0x00800000
#define KSPIN_FLAG_PROCESS_IF_ANY_IN_RUN_STATE 0x01000000
#define KSPIN_FLAG_DENY_USERMODE_ACCESS 0x80000000

#define KSFILTER_DESCRIPTOR_VERSION ((ULONG)-1)
#define KSFILTER_FLAG_DISPATCH_LEVEL_PROCESSING 0x00000001
#define KSFILTER_FLAG_CRITICAL_PROCESSING 0x00000002
#define KSFILTER_FLAG_HYPERCRITICAL_PROCESSING 0x00000004
#define KSFILTER_FLAG_RECEIVE_ZERO_LENGTH_SAMPLES 0x00000008
#define KSFILTER_FLAG_DENY_USERMODE_ACCESS 0x80000000

struct _KSFILTER_DESCRIPTOR {
  const KSFILTER_DISPATCH* Dispatch;
  const KSAUTOMATION_TABLE* AutomationTable;
  ULONG Version;
  ULONG Flags;
  const GUID* ReferenceGuid;
  ULONG PinDescriptorsCount;
  ULONG PinDescriptorSize;
  const KSPIN_DESCRIPTOR_EX* PinDescriptors;
  ULONG CategoriesCount;
  const GUID* Categories;
  ULONG NodeDescriptorsCount;
  ULONG NodeDescriptorSize;
  const KSNODE_DESCRIPTOR* NodeDescriptors;
  ULONG ConnectionsCount;
  const KSTOPOLOGY_CONNECTION* Connections;
  const KSCOMPONENTID* ComponentId;
};

struct _KSFILTER {
  const KSFILTER_DESCRIPTOR* Descriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
};

struct _KSPIN {
  const KSPIN_DESCRIPTOR_EX* Descriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
  ULONG Id;
  KSPIN_COMMUNICATION Communication;
  BOOLEAN ConnectionIsExternal;
  KSPIN_INTERFACE ConnectionInterface;
  KSPIN_MEDIUM ConnectionMedium;
  KSPRIORITY ConnectionPriority;
  PKSDATAFORMAT ConnectionFormat;
  PKSMULTIPLE_ITEM AttributeList;
  ULONG StreamHeaderSize;
  KSPIN_DATAFLOW DataFlow;
  KSSTATE DeviceState;
  KSRESET ResetState;
  KSSTATE ClientState;
};

// Create-item flags of a filter factory.
#define KSCREATE_ITEM_SECURITYCHANGED 0x00000001
#define KSCREATE_ITEM_WILDCARD 0x00000002
#define KSCREATE_ITEM_NOPARAMETERS 0x00000004
#define KSCREATE_ITEM_FREEONSTOP 0x00000008

typedef VOID NTAPI KSFILTERFACTORY_POWER_ROUTINE(PKSFILTERFACTORY FilterFactory, DEVICE_POWER_STATE State);
typedef KSFILTERFACTORY_POWER_ROUTINE* PFNKSFILTERFACTORYPOWER;

struct _KSFILTERFACTORY {
  const KSFILTER_DESCRIPTOR* FilterDescriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
};

// ---- Class driver routines ---------------------------------------------------------------------------
extern "C" {

NTSTATUS NTAPI KsInitializeDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                  const KSDEVICE_DESCRIPTOR* Descriptor);

NTSTATUS NTAPI KsCreateFilterFactory(PDEVICE_OBJECT DeviceObject, const KSFILTER_DESCRIPTOR* Descriptor,
                                     PCWSTR RefString, PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG CreateItemFlags,
                                     PFNKSFILTERFACTORYPOWER SleepCallback, PFNKSFILTERFACTORYPOWER WakeCallback,
                                     PKSFILTERFACTORY* FilterFactory);
NTSTATUS NTAPI KsFilterCreatePinFactory(PKSFILTER Filter, const KSPIN_DESCRIPTOR_EX* PinDescriptor,
                                        PULONG PinId);

VOID NTAPI KsAcquireDevice(PKSDEVICE Device);
VOID NTAPI KsReleaseDevice(PKSDEVICE Device);
PKSDEVICE NTAPI KsGetDevice(PVOID Object);
PKSDEVICE NTAPI KsGetDeviceForDeviceObject(PDEVICE_OBJECT FunctionalDeviceObject);
PKSFILTER NTAPI KsGetFilterFromIrp(PIRP Irp);
PKSPIN NTAPI KsGetPinFromIrp(PIRP Irp);
PVOID NTAPI KsGetParent(PVOID Object);
PKSFILTER NTAPI KsPinGetParentFilter(PKSPIN Pin);
PKSFILTER NTAPI KsGetFilterFromPin(PKSPIN Pin);
VOID NTAPI KsFilterAcquireControl(PKSFILTER Filter);
VOID NTAPI KsFilterReleaseControl(PKSFILTER Filter);

NTSTATUS NTAPI KsAddItemToObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, PFNKSFREE Free);
ULONG NTAPI KsRemoveItemFromObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, BOOLEAN Free);
NTSTATUS NTAPI _KsEdit(KSOBJECT_BAG ObjectBag, PVOID* PointerToPointerToItem, ULONG NewSize, ULONG OldSize,
                       ULONG Tag);

PKSSTREAM_POINTER NTAPI KsPinGetLeadingEdgeStreamPointer(PKSPIN Pin, KSSTREAM_POINTER_STATE State);
VOID NTAPI KsStreamPointerUnlock(PKSSTREAM_POINTER StreamPointer, BOOLEAN Eject);
VOID NTAPI KsPinAttemptProcessing(PKSPIN Pin, BOOLEAN Asynchronous);
VOID NTAPI KsPinAcquireProcessingMutex(PKSPIN Pin);
VOID NTAPI KsPinReleaseProcessingMutex(PKSPIN Pin);
NTSTATUS NTAPI KsPinGetReferenceClockInterface(PKSPIN Pin, PIKSREFERENCECLOCK* Interface);

VOID NTAPI KsGenerateEvents(PVOID Object, const GUID* EventSet, ULONG EventId, ULONG DataSize, PVOID Data,
                            PFNKSGENERATEEVENTCALLBACK CallBack, PVOID CallBackContext);

}  // extern "C"

// Copy-on-write of a descriptor or table the object shares with others: the object gets its own
// copy (of at least sizeof(**PointerToPointer) bytes) that lives in its bag.
#define KsEdit(Object, PointerToPointer, Tag)                                                          \
  _KsEdit((Object)->Bag, (PVOID*)(PointerToPointer), sizeof(**(PointerToPointer)),                   \
          sizeof(**(PointerToPointer)), (Tag))
#define KsEditSized(Object, PointerToPointer, NewSize, OldSize, Tag) \
  _KsEdit((Object)->Bag, (PVOID*)(PointerToPointer), (NewSize), (OldSize), (Tag))
