// Shared PI types of the module: status codes, GUIDs, HOBs, the PEI services
// table and the report-status-code handler PPI, laid out for IA32 (every
// pointer 4 bytes, EFIAPI is cdecl). Layouts are pinned by static_assert so
// that the image and the environments that call it agree byte for byte.
#ifndef STATUSSINK_PI_TYPES_H
#define STATUSSINK_PI_TYPES_H

#include <stddef.h>
#include <stdint.h>

#if defined(__i386__) || defined(_M_IX86)
#define EFIAPI __attribute__((cdecl))
#else
#define EFIAPI
#endif

typedef uint8_t BOOLEAN;  // one byte: 1 true, 0 false
#define TRUE ((BOOLEAN)1)
#define FALSE ((BOOLEAN)0)

typedef uint32_t EFI_STATUS;
#define EFI_SUCCESS ((EFI_STATUS)0)
#define EFI_INVALID_PARAMETER ((EFI_STATUS)0x80000002u)
#define EFI_NOT_READY ((EFI_STATUS)0x80000006u)
#define EFI_NOT_FOUND ((EFI_STATUS)0x8000000Eu)

struct EFI_GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
static_assert(sizeof(EFI_GUID) == 16, "EFI_GUID is 16 bytes");

// Compares two GUIDs as four 32-bit words.
BOOLEAN CompareGuid(const EFI_GUID* a, const EFI_GUID* b);

// Status code type: class in bits 0..7, severity in bits 24..31.
typedef uint32_t EFI_STATUS_CODE_TYPE;
#define EFI_STATUS_CODE_TYPE_MASK 0x000000FFu
#define EFI_STATUS_CODE_SEVERITY_MASK 0xFF000000u
#define EFI_PROGRESS_CODE 0x00000001u
#define EFI_ERROR_CODE 0x00000002u
#define EFI_DEBUG_CODE 0x00000003u
#define EFI_ERROR_UNRECOVERED 0x90000000u

// Status code value: class bits 24..31, subclass 16..23, operation 0..15.
typedef uint32_t EFI_STATUS_CODE_VALUE;

// Header of a report's optional data record; the payload follows at offset 20.
struct EFI_STATUS_CODE_DATA {
  uint16_t HeaderSize;
  uint16_t Size;
  EFI_GUID Type;
};
static_assert(sizeof(EFI_STATUS_CODE_DATA) == 20, "data header is 20 bytes");
static_assert(offsetof(EFI_STATUS_CODE_DATA, Type) == 4, "Type at 4");

struct EFI_HOB_GENERIC_HEADER {
  uint16_t HobType;
  uint16_t HobLength;  // bytes, header included
  uint32_t Reserved;
};
static_assert(sizeof(EFI_HOB_GENERIC_HEADER) == 8, "HOB header is 8 bytes");
#define EFI_HOB_TYPE_END_OF_HOB_LIST 0xFFFFu

struct EFI_TABLE_HEADER {
  uint64_t Signature;
  uint32_t Revision;
  uint32_t HeaderSize;
  uint32_t CRC32;
  uint32_t Reserved;
};
static_assert(sizeof(EFI_TABLE_HEADER) == 24, "table header is 24 bytes");

struct EFI_PEI_SERVICES;
struct EFI_PEI_PPI_DESCRIPTOR;

typedef EFI_STATUS(EFIAPI* EFI_PEI_UNUSED_SERVICE)(void);
typedef EFI_STATUS(EFIAPI* EFI_PEI_LOCATE_PPI)(const EFI_PEI_SERVICES** PeiServices, const EFI_GUID* Guid,
                                                uint32_t Instance, EFI_PEI_PPI_DESCRIPTOR** PpiDescriptor,
                                                void** Ppi);
typedef EFI_STATUS(EFIAPI* EFI_PEI_GET_HOB_LIST)(const EFI_PEI_SERVICES** PeiServices, void** HobList);
typedef EFI_STATUS(EFIAPI* EFI_PEI_CREATE_HOB)(const EFI_PEI_SERVICES** PeiServices, uint16_t Type,
                                                uint16_t Length, void** Hob);
typedef void(EFIAPI* EFI_PEI_COPY_MEM)(void* Destination, const void* Source, uint32_t Length);

struct EFI_PEI_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_PEI_UNUSED_SERVICE InstallPpi;
  EFI_PEI_UNUSED_SERVICE ReInstallPpi;
  EFI_PEI_LOCATE_PPI LocatePpi;
  EFI_PEI_UNUSED_SERVICE NotifyPpi;
  EFI_PEI_UNUSED_SERVICE GetBootMode;
  EFI_PEI_UNUSED_SERVICE SetBootMode;
  EFI_PEI_GET_HOB_LIST GetHobList;
  EFI_PEI_CREATE_HOB CreateHob;
  EFI_PEI_UNUSED_SERVICE FfsFindNextVolume;
  EFI_PEI_UNUSED_SERVICE FfsFindNextFile;
  EFI_PEI_UNUSED_SERVICE FfsFindSectionData;
  EFI_PEI_UNUSED_SERVICE InstallPeiMemory;
  EFI_PEI_UNUSED_SERVICE AllocatePages;
  EFI_PEI_UNUSED_SERVICE AllocatePool;
  EFI_PEI_COPY_MEM CopyMem;
  EFI_PEI_UNUSED_SERVICE SetMem;
  EFI_PEI_UNUSED_SERVICE ReportStatusCode;
  EFI_PEI_UNUSED_SERVICE ResetSystem;
  void* CpuIo;
  void* PciCfg;
};

#if defined(__i386__) || defined(_M_IX86)
// The image and the host32 build share the IA32 layout; host64 tools lay the
// table out in guest memory themselves from these offsets.
static_assert(sizeof(void*) == 4, "IA32: pointers are 4 bytes");
static_assert(offsetof(EFI_PEI_SERVICES, InstallPpi) == 24, "InstallPpi at 24");
static_assert(offsetof(EFI_PEI_SERVICES, ReInstallPpi) == 28, "ReInstallPpi at 28");
static_assert(offsetof(EFI_PEI_SERVICES, LocatePpi) == 32, "LocatePpi at 32");
static_assert(offsetof(EFI_PEI_SERVICES, NotifyPpi) == 36, "NotifyPpi at 36");
static_assert(offsetof(EFI_PEI_SERVICES, GetBootMode) == 40, "GetBootMode at 40");
static_assert(offsetof(EFI_PEI_SERVICES, SetBootMode) == 44, "SetBootMode at 44");
static_assert(offsetof(EFI_PEI_SERVICES, GetHobList) == 48, "GetHobList at 48");
static_assert(offsetof(EFI_PEI_SERVICES, CreateHob) == 52, "CreateHob at 52");
static_assert(offsetof(EFI_PEI_SERVICES, FfsFindNextVolume) == 56, "FfsFindNextVolume at 56");
static_assert(offsetof(EFI_PEI_SERVICES, FfsFindNextFile) == 60, "FfsFindNextFile at 60");
static_assert(offsetof(EFI_PEI_SERVICES, FfsFindSectionData) == 64, "FfsFindSectionData at 64");
static_assert(offsetof(EFI_PEI_SERVICES, InstallPeiMemory) == 68, "InstallPeiMemory at 68");
static_assert(offsetof(EFI_PEI_SERVICES, AllocatePages) == 72, "AllocatePages at 72");
static_assert(offsetof(EFI_PEI_SERVICES, AllocatePool) == 76, "AllocatePool at 76");
static_assert(offsetof(EFI_PEI_SERVICES, CopyMem) == 80, "CopyMem at 80");
static_assert(offsetof(EFI_PEI_SERVICES, SetMem) == 84, "SetMem at 84");
static_assert(offsetof(EFI_PEI_SERVICES, ReportStatusCode) == 88, "ReportStatusCode at 88");
static_assert(offsetof(EFI_PEI_SERVICES, ResetSystem) == 92, "ResetSystem at 92");
static_assert(offsetof(EFI_PEI_SERVICES, CpuIo) == 96, "CpuIo at 96");
static_assert(offsetof(EFI_PEI_SERVICES, PciCfg) == 100, "PciCfg at 100");
#endif

// Offsets of the services table as the guest sees it (used by host64 tools).
enum PeiServicesOffset : uint32_t {
  kPeiLocatePpiOffset = 32,
  kPeiGetHobListOffset = 48,
  kPeiCreateHobOffset = 52,
  kPeiCopyMemOffset = 80,
  kPeiServicesTableSize = 104,
};

typedef EFI_STATUS(EFIAPI* EFI_PEI_RSC_HANDLER_CALLBACK)(const EFI_PEI_SERVICES** PeiServices,
                                                          EFI_STATUS_CODE_TYPE Type, EFI_STATUS_CODE_VALUE Value,
                                                          uint32_t Instance, const EFI_GUID* CallerId,
                                                          const EFI_STATUS_CODE_DATA* Data);
typedef EFI_STATUS(EFIAPI* EFI_PEI_RSC_HANDLER_REGISTER)(EFI_PEI_RSC_HANDLER_CALLBACK Callback);
typedef EFI_STATUS(EFIAPI* EFI_PEI_RSC_HANDLER_UNREGISTER)(EFI_PEI_RSC_HANDLER_CALLBACK Callback);

struct EFI_PEI_RSC_HANDLER_PPI {
  EFI_PEI_RSC_HANDLER_REGISTER Register;
  EFI_PEI_RSC_HANDLER_UNREGISTER Unregister;
};
#if defined(__i386__) || defined(_M_IX86)
static_assert(offsetof(EFI_PEI_RSC_HANDLER_PPI, Register) == 0, "Register at 0");
static_assert(sizeof(EFI_PEI_RSC_HANDLER_PPI) == 8, "two pointers");
#endif

#endif  // STATUSSINK_PI_TYPES_H
