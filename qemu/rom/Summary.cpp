// The boot ROM's summary on the second serial port, read by the host's
// runner (qemu/host/QemuRun.cpp), and how the ROM ends QEMU.
#include "qemu/rom/Foundation.h"

#include "platform/platform.h"

namespace QemuRom {
namespace {

constexpr uint16_t SummaryPort = 0x2F8;  // second serial port
constexpr uint16_t SerialLineStatus = 5;
constexpr uint8_t SerialTransmitEmpty = 0x20;
// One status read takes about 1 us; a transmitter that has not emptied in
// 100,000 of them is not going to: the byte is dropped.
constexpr uint32_t SerialWaitLimit = 100000;
constexpr uint16_t DebugExitPort = 0xF4;
constexpr uint32_t MemoryLogChunk = 64;  // bytes of the text area per summary line

constexpr char HexDigits[] = "0123456789ABCDEF";

}  // namespace

void PutByte(uint8_t byte) {
  for (uint32_t polls = 0; polls < SerialWaitLimit; ++polls) {
    if ((IoRead8(SummaryPort + SerialLineStatus) & SerialTransmitEmpty) != 0) {
      IoWrite8(SummaryPort, byte);
      return;
    }
  }
}

void PutText(const char* text) {
  while (*text != '\0') PutByte(static_cast<uint8_t>(*text++));
}

void PutHex(uint32_t value) {
  PutByte(' ');
  for (int shift = 28; shift >= 0; shift -= 4) PutByte(static_cast<uint8_t>(HexDigits[(value >> shift) & 0xF]));
}

void PutHexBytes(uint32_t address, uint32_t length) {
  PutByte(' ');
  for (uint32_t i = 0; i < length; ++i) {
    const uint8_t byte = Read8(address + i);
    PutByte(static_cast<uint8_t>(HexDigits[byte >> 4]));
    PutByte(static_cast<uint8_t>(HexDigits[byte & 0xF]));
  }
}

void EndLine() { PutByte('\n'); }

[[noreturn]] void ExitQemu(uint8_t value) {
  IoWrite8(DebugExitPort, value);
  for (;;) __asm__ __volatile__("cli\n\thlt");
}

[[noreturn]] void Stop(const char* reason, uint32_t detail) {
  PutText("ERROR ");
  PutText(reason);
  PutHex(detail);
  EndLine();
  ExitQemu(ExitNoModule);
}
void PutGuid(const uint8_t* guid) {
  static constexpr uint8_t Order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  PutByte(' ');
  for (uint32_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) PutByte('-');
    const uint8_t byte = guid[Order[i]];
    PutByte(static_cast<uint8_t>(HexDigits[byte >> 4]));
    PutByte(static_cast<uint8_t>(HexDigits[byte & 0xF]));
  }
}

[[noreturn]] void StopAtFile(const char* reason, uint32_t file) {
  PutText("ERROR ");
  PutText(reason);
  PutHex(file);
  PutText(" file");
  PutGuid(reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(file)));
  EndLine();
  ExitQemu(ExitNoModule);
}

void WriteClosingSummary() {
  const FoundationState* state = State();
  for (uint32_t i = 0; i < state->CreatedHobCount; ++i) {
    const uint32_t hob = state->CreatedHobs[i];
    const uint32_t length = Read16(hob + 2);
    PutText("HOB");
    PutHex(hob);
    PutHex(length);
    PutHexBytes(hob, length);
    EndLine();
  }
  PutText("LOG");
  PutHex(Read32(MemoryLogBase));
  EndLine();
  // The text area in chunks; chunks still all 0 are left out.
  for (uint32_t chunk = 0; chunk < MemoryLogSize - 4; chunk += MemoryLogChunk) {
    const uint32_t start = MemoryLogBase + 4 + chunk;
    const uint32_t length = MemoryLogSize - 4 - chunk < MemoryLogChunk ? MemoryLogSize - 4 - chunk : MemoryLogChunk;
    BOOLEAN written = FALSE;
    for (uint32_t i = 0; i < length && !written; ++i) written = Read8(start + i) != 0 ? TRUE : FALSE;
    if (!written) continue;
    PutText("LOGAREA");
    PutHex(chunk);
    PutHexBytes(start, length);
    EndLine();
  }
  const ServiceCounts& calls = state->Calls;
  PutText("SERVICES");
  PutHex(calls.LocatePpi);
  PutHex(calls.Register);
  PutHex(calls.CreateHob);
  PutHex(calls.GetHobList);
  PutHex(calls.CopyMem);
  PutHex(calls.Other);
  PutHex(calls.LocatePpiServices);
  PutHex(calls.CreateHobServices);
  EndLine();
  PutText("END");
  EndLine();
}

}  // namespace QemuRom
