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
constexpr BOOLEAN TRUE = 1;
constexpr BOOLEAN FALSE = 0;

typedef uint32_t EFI_STATUS;
constexpr EFI_STATUS EFI_SUCCESS = 0;
constexpr EFI_STATUS EFI_INVALID_PARAMETER = 0x80000002u;
constexpr EFI_STATUS EFI_UNSUPPORTED = 0x80000003u;  // only the simulated environments answer it
constexpr EFI_STATUS EFI_NOT_READY = 0x80000006u;
constexpr EFI_STATUS EFI_OUT_OF_RESOURCES = 0x80000009u;  // only the simulated environments answer it
constexpr EFI_STATUS EFI_NOT_FOUND = 0x8000000Eu;
constexpr EFI_STATUS EFI_ALREADY_STARTED = 0x80000014u;  // only the simulated environments answer it

struct EFI_GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
static_assert(sizeof(EFI_GUID) == 16, "EFI_GUID is 16 bytes");

// Compares two GUIDs as four 32-bit words.
BOOLEAN CompareGuid(const EFI_GUID* A, const EFI_GUID* B);

// GUIDs of the standard that the module and its environments use; each is
// written here once.
// 335984BD-E805-409A-B8F8-D27ECE5FF7A6: data whose first payload word points at a module GUID.
inline constexpr EFI_GUID StatusCodeSpecificDataGuid = {0x335984BDu, 0xE805u, 0x409Au,
                                                        {0xB8, 0xF8, 0xD2, 0x7E, 0xCE, 0x5F, 0xF7, 0xA6}};
// 9A4E9246-D553-11D5-87E2-00062945C3B9: data holding a debug message.
inline constexpr EFI_GUID DebugMessageDataGuid = {0x9A4E9246u, 0xD553u, 0x11D5u,
                                                  {0x87, 0xE2, 0x00, 0x06, 0x29, 0x45, 0xC3, 0xB9}};
// 92D11080-496F-4D95-BE7E-037488382B0A: data holding a string.
inline constexpr EFI_GUID StringDataGuid = {0x92D11080u, 0x496Fu, 0x4D95u,
                                            {0xBE, 0x7E, 0x03, 0x74, 0x88, 0x38, 0x2B, 0x0A}};
// 0065D394-9951-4144-82A3-0AFC8579C251: the report-status-code handler PPI (also the
// module's dependency in its firmware file, which the packer in fv/ writes).
inline constexpr EFI_GUID HandlerPpiGuid = {0x0065D394u, 0x9951u, 0x4144u,
                                            {0x82, 0xA3, 0x0A, 0xFC, 0x85, 0x79, 0xC2, 0x51}};

// Status code type: class in bits 0..7, severity in bits 24..31.
typedef uint32_t EFI_STATUS_CODE_TYPE;
constexpr EFI_STATUS_CODE_TYPE EFI_STATUS_CODE_TYPE_MASK = 0x000000FFu;
constexpr EFI_STATUS_CODE_TYPE EFI_STATUS_CODE_SEVERITY_MASK = 0xFF000000u;
constexpr EFI_STATUS_CODE_TYPE EFI_PROGRESS_CODE = 0x00000001u;
constexpr EFI_STATUS_CODE_TYPE EFI_ERROR_CODE = 0x00000002u;
constexpr EFI_STATUS_CODE_TYPE EFI_DEBUG_CODE = 0x00000003u;
constexpr EFI_STATUS_CODE_TYPE EFI_ERROR_UNRECOVERED = 0x90000000u;

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

// Fields of the data records the module reads, as byte offsets from the start
// of the data header (the payload begins at 20). The host lays out the
// records it delivers from the same offsets.
// Status-code-specific data (StatusCodeSpecificDataGuid): the first payload
// word points at the GUID of the module concerned.
constexpr uint32_t SpecificDataGuidPointerOffset = sizeof(EFI_STATUS_CODE_DATA);
// A debug message (DebugMessageDataGuid): its level, the packed argument
// list, then the format (8-bit, up to its NUL).
constexpr uint32_t DebugLevelOffset = 20;
constexpr uint32_t DebugPackedArgumentsOffset = 24;
constexpr uint32_t DebugPackedArgumentSlots = 24;  // four bytes each
constexpr uint32_t DebugFormatOffset = 120;
static_assert(DebugPackedArgumentsOffset + 4 * DebugPackedArgumentSlots == DebugFormatOffset,
              "the format follows the last argument slot");
// A string (StringDataGuid): its kind, and a pointer to the text.
constexpr uint32_t StringKindOffset = 20;
constexpr uint32_t StringPointerOffset = 24;
constexpr uint32_t StringKindAscii = 0;  // 8-bit, up to its NUL
// A failed assertion (told by its code, not by a GUID): the line number, and
// the file name followed by the description right after the name's NUL.
constexpr uint32_t AssertLineNumberOffset = 40;
constexpr uint32_t AssertFileNameOffset = 52;

struct EFI_HOB_GENERIC_HEADER {
  uint16_t HobType;
  uint16_t HobLength;  // bytes, header included
  uint32_t Reserved;
};
static_assert(sizeof(EFI_HOB_GENERIC_HEADER) == 8, "HOB header is 8 bytes");
constexpr uint16_t EFI_HOB_TYPE_END_OF_HOB_LIST = 0xFFFFu;

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

// "PEI SERV": the services table header's signature.
constexpr uint64_t PEI_SERVICES_SIGNATURE = 0x5652455320494550ull;

// Offsets of the services table as an IA32 guest sees it, for host64 tools
// that lay the table out in guest memory (pinned below for IA32 builds).
constexpr uint32_t PeiLocatePpiOffset = 32;
constexpr uint32_t PeiGetHobListOffset = 48;
constexpr uint32_t PeiCreateHobOffset = 52;
constexpr uint32_t PeiCopyMemOffset = 80;
constexpr uint32_t PeiServicesTableSize = 104;

#if defined(__i386__) || defined(_M_IX86)
// The image and the host32 build share the IA32 layout; host64 tools lay the
// table out in guest memory themselves from these offsets.
static_assert(sizeof(void*) == 4, "IA32: pointers are 4 bytes");
static_assert(offsetof(EFI_PEI_SERVICES, InstallPpi) == 24, "InstallPpi at 24");
static_assert(offsetof(EFI_PEI_SERVICES, ReInstallPpi) == 28, "ReInstallPpi at 28");
static_assert(offsetof(EFI_PEI_SERVICES, LocatePpi) == PeiLocatePpiOffset, "LocatePpi at 32");
static_assert(offsetof(EFI_PEI_SERVICES, NotifyPpi) == 36, "NotifyPpi at 36");
static_assert(offsetof(EFI_PEI_SERVICES, GetBootMode) == 40, "GetBootMode at 40");
static_assert(offsetof(EFI_PEI_SERVICES, SetBootMode) == 44, "SetBootMode at 44");
static_assert(offsetof(EFI_PEI_SERVICES, GetHobList) == PeiGetHobListOffset, "GetHobList at 48");
static_assert(offsetof(EFI_PEI_SERVICES, CreateHob) == PeiCreateHobOffset, "CreateHob at 52");
static_assert(offsetof(EFI_PEI_SERVICES, FfsFindNextVolume) == 56, "FfsFindNextVolume at 56");
static_assert(offsetof(EFI_PEI_SERVICES, FfsFindNextFile) == 60, "FfsFindNextFile at 60");
static_assert(offsetof(EFI_PEI_SERVICES, FfsFindSectionData) == 64, "FfsFindSectionData at 64");
static_assert(offsetof(EFI_PEI_SERVICES, InstallPeiMemory) == 68, "InstallPeiMemory at 68");
static_assert(offsetof(EFI_PEI_SERVICES, AllocatePages) == 72, "AllocatePages at 72");
static_assert(offsetof(EFI_PEI_SERVICES, AllocatePool) == 76, "AllocatePool at 76");
static_assert(offsetof(EFI_PEI_SERVICES, CopyMem) == PeiCopyMemOffset, "CopyMem at 80");
static_assert(offsetof(EFI_PEI_SERVICES, SetMem) == 84, "SetMem at 84");
static_assert(offsetof(EFI_PEI_SERVICES, ReportStatusCode) == 88, "ReportStatusCode at 88");
static_assert(offsetof(EFI_PEI_SERVICES, ResetSystem) == 92, "ResetSystem at 92");
static_assert(offsetof(EFI_PEI_SERVICES, CpuIo) == 96, "CpuIo at 96");
static_assert(offsetof(EFI_PEI_SERVICES, PciCfg) == 100, "PciCfg at 100");
static_assert(sizeof(EFI_PEI_SERVICES) == PeiServicesTableSize, "the table is 104 bytes");
#endif

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
