// What the host and the boot ROM exchange: the report block that the host
// compiles from a scenario and places in the ROM after the firmware volume,
// and the summary lines that the ROM writes to the second serial port.
// Compiled into the freestanding ROM and into the host tools alike.
#ifndef STATUSSINK_QEMU_ROMFORMAT_H
#define STATUSSINK_QEMU_ROMFORMAT_H

#include <stdint.h>

namespace QemuRom {

// The ROM spans from the firmware volume's base to 4 GiB; its own code and
// the reset vector fill the top StubSize bytes.
constexpr uint32_t StubSize = 0x4000;
// The report block follows the firmware volume at this alignment.
constexpr uint32_t ReportBlockAlignment = 16;

// Right below the ROM's own code: where the host put the volume and the
// report block, and the file name of the PEIM to run. The ROM walks the
// volume itself from there.
struct RomDirectory {
  uint32_t Signature;
  uint32_t VolumeBase;
  uint32_t ReportBlock;
  uint32_t Reserved;
  uint8_t ModuleName[16];  // the module's file name GUID, in memory order
};
static_assert(sizeof(RomDirectory) == 32, "ROM directory is 32 bytes");
constexpr uint32_t RomDirectorySignature = 0x44525353u;  // "SSRD"

constexpr uint32_t ReportBlockSignature = 0x42525353u;  // "SSRB"
constexpr uint32_t ReportBlockVersion = 2;

// Switches of the board and the PEI foundation, as a scenario sets them.
constexpr uint32_t SwitchFailLocatePpi = 1u << 0;
constexpr uint32_t SwitchFailCreateHob = 1u << 1;
constexpr uint32_t SwitchFailGetHobList = 1u << 2;
constexpr uint32_t SwitchNullHobList = 1u << 3;
constexpr uint32_t SwitchInterruptsEnabled = 1u << 4;
constexpr uint32_t SwitchNullPpi = 1u << 5;  // LocatePpi succeeds with a null PPI

struct ReportBlockHeader {
  uint32_t Signature;
  uint32_t Version;
  uint32_t Length;  // the whole block, this header included
  uint32_t ReportCount;         // ReportEntry items (a repeated report is one)
  uint32_t CmosCount;           // CmosEntry items right after this header, padded to 4 bytes
  uint32_t Switches;            // Switch... bits
  uint32_t FailRegisterMask;    // bit n set: the n-th Register call (0 first) fails
  uint32_t MemoryLogHeader;     // written to the memory log window before the module runs
  uint32_t PciAddressRegister;  // what 0xCF8 holds before the module runs
  uint32_t NewHobFill;          // the byte a new HOB's body is filled with
  uint32_t HostBridgeDc;        // written to the host bridge's register 0xDC before the module runs
};
static_assert(sizeof(ReportBlockHeader) == 44, "report block header is 44 bytes");

struct CmosEntry {
  uint8_t Offset;
  uint8_t Value;
};
static_assert(sizeof(CmosEntry) == 2, "CMOS entry is 2 bytes");

// One report, delivered Repeat times in a row; its data record follows,
// already laid out for DataAddress (every pointer inside it filled in),
// padded to 4 bytes.
struct ReportEntry {
  uint32_t Length;  // this entry with its data and padding
  uint32_t Repeat;  // deliveries in a row
  uint32_t Type;
  uint32_t Value;
  uint32_t Instance;
  uint32_t CallerAddress;  // where the caller GUID goes; 0: the report has none
  uint32_t DataAddress;    // where the data record goes; 0: the report has none
  uint32_t DataLength;
  uint8_t CallerGuid[16];
};
static_assert(sizeof(ReportEntry) == 48, "report entry header is 48 bytes");

// Exit values the ROM gives isa-debug-exit (QEMU exits with value * 2 + 1).
constexpr uint8_t ExitDone = 0x10;
constexpr uint8_t ExitFault = 0x11;
constexpr uint8_t ExitNoModule = 0x12;
constexpr uint8_t ExitStopped = 0x13;  // the host stopped the boot; the summary holds the state read back

// The summary is text, one record per line, fields separated by one space,
// numbers in hexadecimal:
//   SSQ <version>                    first line
//   DC <value>                       host bridge register 0xDC as read back after the ROM wrote
//                                    the block's value there, before the module runs
//   PROBE <address> <width> <value> what the board answers at an address the module may read
//   PEIM <file> <holds> <name>       each PEIM of the volume in order: its file, 1 when its dependency
//                                    expression holds with the installed PPI, its name GUID
//   MODULE <file> <image> <origin> <entry> <format>   the PEIM found in the volume: its file, its
//                                    image section, where its relative address 0 lies, its entry
//                                    point and PE32 or TE
//   ENTRY <status>                   what the entry point returned
//   HANDLER <index> <address>        registered handlers, in order
//   D <report>                       a report is being delivered (its data in place); reports
//                                    are counted by delivery, repeats included
//   C <report> <handler>             a handler call starts
//   R <report> <handler> <status> <interrupt flag> <0xCF8 before> <0xCF8 after>
//                                    it returned; the interrupt flag after it (1 set), and the
//                                    host bridge's address register before and after it
//   HOB <address> <length> <bytes>   each HOB the module created, after the last report
//   LOG <header>                     the memory log header after the last report
//   LOGAREA <offset> <bytes>         a chunk of the memory log's text area (offset from 0x70004)
//                                    that holds a byte other than 0; the rest is 0
//   SERVICES <LocatePpi> <Register> <CreateHob> <GetHobList> <CopyMem> <other> <LocatePpi's PeiServices>
//            <CreateHob's PeiServices>   call counts, and the PeiServices value the last LocatePpi and the
//                                    last CreateHob call passed
//   STOPPED                          the host stopped the boot (a non-maskable interrupt) in the
//                                    middle of a call; the HOB, LOG, LOGAREA and SERVICES lines
//                                    and END follow, as read back then
//   FAULT <vector> <error code> <eip> <cr2>   a processor exception
//   ERROR <words>                    the foundation could not go on (a file it refuses is named by
//                                    its address and name GUID)
//   END                              last line of a complete run
constexpr uint32_t SummaryVersion = 3;

}  // namespace QemuRom

#endif
