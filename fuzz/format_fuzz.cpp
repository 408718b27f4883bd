// libFuzzer target for FormatToBuffer (host32, ASan and UBSan).
//
// Input: 4 bytes of caller flags, 2 bytes of buffer size, 1 byte of modes,
// then the format (8-bit up to a 0 byte, or 16-bit up to a 0 pair), then a
// pool of bytes that supplies the numbers and the contents of strings, GUIDs
// and times. The harness reads the format's options itself and takes what
// each conversion letter's argument slot must hold from the engine's own
// conversion table (ConversionTable, print/PrintInternal.h), so a new letter
// cannot be missed, and a pointer slot always points at an object of its
// own, allocated to its exact size: any read past it, and any write past the
// exact-size output buffer, is caught by ASan.
//
// Every input also runs with the engine's shortcuts switched off
// (GeneralPathOnly): the result, the count and every byte of the buffer must
// be the same, so each shortcut is proved equal to the general
// path it stands in for.
//
// Besides the sanitizers it checks: the result is below the buffer size and
// the NUL is at the result; the count-only count equals the result when the
// text fits, and is at least the result when it was cut; and a buffer big
// enough for the count receives the same text, of which the cut text is the
// start.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "print/PrintInternal.h"

namespace {

void Check(bool Condition) {
  if (!Condition) {
    __builtin_trap();
  }
}

// Reads the bytes after the format in order; zeros once they run out.
struct Pool {
  const uint8_t* Data;
  size_t Size;
  size_t Used = 0;

  uint8_t Byte() { return Used < Size ? Data[Used++] : 0; }
  uint32_t Word() {
    uint32_t Value = 0;
    for (int Index = 0; Index < 4; Index++) {
      Value |= static_cast<uint32_t>(Byte()) << (8 * Index);
    }
    return Value;
  }
};

// Objects that pointer slots point at; each one allocated to its exact size.
struct Objects {
  std::vector<std::unique_ptr<uint8_t[]>> Owned;

  uint32_t Add(size_t Size, Pool* Source, bool Terminate, size_t CharSize) {
    std::unique_ptr<uint8_t[]> Object(new uint8_t[Size]);
    for (size_t Index = 0; Index < Size; Index++) {
      Object[Index] = Source->Byte();
    }
    if (Terminate) {
      // Keep any NUL the pool put inside; make sure the last character is one.
      for (size_t Index = Size - CharSize; Index < Size; Index++) {
        Object[Index] = 0;
      }
    }
    uint32_t Address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(Object.get()));
    Owned.push_back(std::move(Object));
    return Address;
  }
};

uint32_t FormatCharacter(const uint8_t* Format, size_t Place, size_t CharSize) {
  return CharSize == 1 ? Format[Place] : Format[2 * Place] | (Format[2 * Place + 1] << 8);
}

// One slot per argument that the directives of the format take, in order.
std::vector<uint32_t> BuildSlots(const uint8_t* Format, size_t CharSize, Pool* Source, Objects* Things) {
  std::vector<uint32_t> Slots;
  for (size_t Place = 0; FormatCharacter(Format, Place, CharSize) != 0; Place++) {
    if (FormatCharacter(Format, Place, CharSize) != '%') {
      continue;
    }
    bool Long = false;
    uint32_t Conversion;
    for (;;) {
      Conversion = FormatCharacter(Format, ++Place, CharSize);
      if (Conversion == '*') {
        // Mostly small widths and precisions, sometimes any value at all.
        uint32_t Value = Source->Word();
        Slots.push_back((Value & 0x80000000u) != 0 ? Value : Value % 64);
      } else if (Conversion == 'l' || Conversion == 'L') {
        Long = true;
      } else if (Conversion == 0 || Conversion > 0xFF ||
                 std::strchr(" +-,.0123456789", static_cast<int>(Conversion)) == nullptr) {
        break;
      }
    }
    if (Conversion == 0) {
      break;
    }
    // What the letter takes, from the engine's own conversion table.
    const ConversionRow* Row = FindConversion(Conversion);
    if (Row == nullptr) {
      continue;
    }
    bool Null = false;
    switch (Row->Argument) {
      case ArgumentNumber:
        Slots.push_back(Source->Word());
        if (Long) {
          Slots.push_back(Source->Word());
        }
        break;
      case ArgumentWord:
        Slots.push_back(Source->Word());
        break;
      case ArgumentText8:
      case ArgumentText16: {
        uint8_t Choice = Source->Byte();
        Null = Choice >= 0xF0;
        size_t Width = Row->Argument == ArgumentText8 ? 1 : 2;
        Slots.push_back(Null ? 0 : Things->Add((Choice % 24 + 1) * Width, Source, true, Width));
        break;
      }
      case ArgumentGuid:
      case ArgumentTime:
        Null = Source->Byte() >= 0xF0;
        // A GUID is 16 bytes; of a time record only the first 6 are read.
        Slots.push_back(Null ? 0 : Things->Add(Row->Argument == ArgumentGuid ? 16 : 6, Source, false, 1));
        break;
    }
  }
  return Slots;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 7) {
    return 0;
  }
  uint32_t Flags = Data[0] | (Data[1] << 8) | (Data[2] << 16) | (static_cast<uint32_t>(Data[3]) << 24);
  Flags &= ~GeneralPathOnly;
  uint32_t SizeChoice = Data[4] | (Data[5] << 8);
  uint8_t Modes = Data[6];
  Data += 7;
  Size -= 7;

  // The format, with a NUL of its width added at the end.
  size_t FormatCharSize = (Flags & FormatWide) != 0 ? 2 : 1;
  size_t FormatBytes = 0;
  while (FormatBytes + FormatCharSize <= Size &&
         (Data[FormatBytes] != 0 || (FormatCharSize == 2 && Data[FormatBytes + 1] != 0))) {
    FormatBytes += FormatCharSize;
  }
  std::unique_ptr<uint8_t[]> Format(new uint8_t[FormatBytes + FormatCharSize]);
  std::memcpy(Format.get(), Data, FormatBytes);
  std::memset(Format.get() + FormatBytes, 0, FormatCharSize);
  size_t PoolStart = std::min(Size, FormatBytes + FormatCharSize);
  Pool Source{Data + PoolStart, Size - PoolStart};

  Objects Things;
  std::vector<uint32_t> SlotList = BuildSlots(Format.get(), FormatCharSize, &Source, &Things);
  std::unique_ptr<uint32_t[]> Slots(new uint32_t[SlotList.size()]);
  std::copy(SlotList.begin(), SlotList.end(), Slots.get());

  // Packed list, variable list, or (rarely) none at all.
  const uint32_t* Packed = (Modes & 1) != 0 ? Slots.get() : nullptr;
  const uint32_t* Variable = (Modes & 1) != 0 ? nullptr : Slots.get();
  if ((Modes & 0x0E) == 0x0E) {
    Packed = nullptr;
    Variable = nullptr;
  }

  // Buffer sizes up to 300 characters, now and then one over the cap.
  uint32_t BufferSize = SizeChoice % 301;
  if ((SizeChoice & 0xF000) == 0xF000) {
    BufferSize = FormatMaxCharacters + 1 + (SizeChoice & 0xF);
  }
  size_t OutCharSize = (Flags & OutputWide) != 0 ? 2 : 1;
  size_t Bytes = BufferSize > FormatMaxCharacters ? 8 : BufferSize * OutCharSize;
  std::unique_ptr<uint8_t[]> Buffer(new uint8_t[Bytes]);
  std::memset(Buffer.get(), 0xA5, Bytes);
  void* Target = (Modes & 0x30) == 0x30 ? nullptr : Buffer.get();

  uint32_t Result = FormatToBuffer(Target, BufferSize, Flags, Format.get(), Variable, Packed);
  uint32_t Counted = FormatToBuffer(nullptr, 0, Flags | CountOnly, Format.get(), Variable, Packed);

  // The same call on the general path only: same result, same bytes.
  std::unique_ptr<uint8_t[]> General(new uint8_t[Bytes]);
  std::memset(General.get(), 0xA5, Bytes);
  uint32_t GeneralResult = FormatToBuffer(Target == nullptr ? nullptr : General.get(), BufferSize,
                                          Flags | GeneralPathOnly, Format.get(), Variable, Packed);
  Check(GeneralResult == Result);
  Check(std::memcmp(General.get(), Buffer.get(), Bytes) == 0);
  Check(FormatToBuffer(nullptr, 0, Flags | CountOnly | GeneralPathOnly, Format.get(), Variable, Packed) == Counted);

  if ((Flags & CountOnly) != 0) {
    Check(BufferSize > FormatMaxCharacters ? Result == 0 : Result == Counted);
    for (size_t Index = 0; Index < Bytes; Index++) {
      Check(Buffer[Index] == 0xA5);  // count-only writes nothing
    }
    return 0;
  }
  if (Target == nullptr || BufferSize == 0 || BufferSize > FormatMaxCharacters) {
    Check(Result == 0);
    for (size_t Index = 0; Index < Bytes; Index++) {
      Check(Buffer[Index] == 0xA5);  // rejected calls write nothing
    }
    return 0;
  }
  Check(Result < BufferSize);
  for (size_t Byte = 0; Byte < OutCharSize; Byte++) {
    Check(Buffer[Result * OutCharSize + Byte] == 0);
  }
  if (Result < BufferSize - 1) {
    Check(Counted == Result);
  } else {
    Check(Counted >= Result);
  }

  // A buffer that holds the whole text gets all of it, starting with the cut text.
  if (Counted < 4096) {
    std::unique_ptr<uint8_t[]> Whole(new uint8_t[(Counted + 1) * OutCharSize]);
    uint32_t WholeResult = FormatToBuffer(Whole.get(), Counted + 1, Flags, Format.get(), Variable, Packed);
    Check(WholeResult == Counted);
    Check(std::memcmp(Whole.get(), Buffer.get(), Result * OutCharSize) == 0);
  }
  return 0;
}
