// Exact output of the format engine for its edge cases, at 8-bit and 16-bit
// output, through the packed and the variable argument list; and truncation
// of every case into every buffer size.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "print/PrintInternal.h"
#include "tests/host32/format_cases.h"

namespace {

const char Hello[] = "hello";
const char HelloWorld[] = "hello world";
const char Eleven[] = "eleven char";
const uint16_t WideHi[] = {'h', 'i', 0};
const uint8_t CountingGuid[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
// Year 2025 (u16), month 2, day 3, hour 4, minute 5: the six bytes read.
const uint8_t SomeTime[6] = {0xE9, 0x07, 2, 3, 4, 5};
// Year 7, month 12, day 255, hour 0, minute 100: "%02d" is a minimum width.
const uint8_t OddTime[6] = {7, 0, 12, 255, 0, 100};

FormatCase WithFlags(FormatCase Row, uint32_t Flags, uint32_t BufferSize = 64) {
  Row.Flags = Flags;
  Row.BufferSize = BufferSize;
  return Row;
}

}  // namespace

const std::vector<FormatCase>& EngineCases() {
  static const std::vector<FormatCase> Cases = [] {
    std::vector<FormatCase> C = {
        Row("abc %d x", {42}, "abc 42 x"),
        Row("", {}, ""),
        WithFlags(Row("abcdefgh", {}, "abcd"), 0, 5),
        WithFlags(Row("abcdefgh", {}, ""), 0, 1),
        WithFlags(FormatCase{"abc", {}, "", 0}, 0, 0),
        WithFlags(FormatCase{"hello %d", {12}, "", 8}, CountOnly, 0),
        WithFlags(FormatCase{"%d", {5}, "", 1}, CountOnly | OutputWide),
        WithFlags(FormatCase{"%5a", {Slot(Eleven)}, "", 11}, CountOnly),
        WithFlags(Row("abc%d", {5}, "abc5"), OutputWide),
        WithFlags(Row("ab", {}, "a"), OutputWide, 2),
        WithFlags(Row("a%db", {7}, "a7b"), FormatWide),
        Row("a\nb", {}, "a\r\nb"),
        Row("a\n\rb", {}, "a\r\nb"),
        Row("a\r\nb", {}, "a\r\nb"),
        Row("a\rb", {}, "a\rb"),
        Row("a\n\n", {}, "a\r\n\r\n"),
        Row("a\r\r\n", {}, "a\r\r\n"),
        Row("%5\nX", {}, "   \r\nX"),
        Row("%.1\n", {}, "\r"),
        Row("%%", {}, "%"),
        Row("%q", {}, "q"),
        Row("%5%", {}, "    %"),
        Row("%-3q|", {}, "q  |"),
        Row("abc%", {}, "abc"),
        Row("abc%5", {}, "abc     "),
        Row("%a", {0}, "<null string>"),
        Row("%s", {0}, "<null string>"),
        Row("%.3a", {Slot(Hello)}, "hel"),
        Row("%.10a", {Slot(Hello)}, "     hello"),
        Row("%8a", {Slot(Hello)}, "   hello"),
        Row("%-8a", {Slot(Hello)}, "hello   "),
        Row("%5.2a", {Slot(Hello)}, "   he"),
        Row("%.a", {Slot(Hello)}, "h"),
        Row("%s", {Slot(WideHi)}, "hi"),
        Row("%-4S|", {Slot(WideHi)}, "hi  |"),
        Row("%c", {0x41}, "A"),
        Row("%c", {0}, " "),
        Row("%.3c", {0x41}, "  A"),
        Row("%*d", {5, 42}, "   42"),
        Row("%.*a", {2, Slot(Hello)}, "he"),
        Row("%5-d|", {42}, "42   |"),
        Row("%.2.3d", {7}, "007"),
        Row("%d %a %ld %c", {3, Slot(HelloWorld), 9, 0, 0x41}, "3 hello world 9 A"),
        // A negative width or precision from "*" counts as none, and so
        // does a width whose digits wrap past 31 bits.
        Row("%*d|", {static_cast<uint32_t>(-5), 42}, "42|"),
        Row("%-*d|", {static_cast<uint32_t>(-5), 42}, "42|"),
        Row("%.*d", {static_cast<uint32_t>(-1), 0}, "0"),
        Row("%.*a", {static_cast<uint32_t>(-3), Slot(Hello)}, "hello"),
        Row("%05.*d", {static_cast<uint32_t>(-1), 42}, "00042"),
        Row("%4294967291d|", {42}, "42|"),
    };
    FormatCase NullBuffer = Row("abc", {}, "");
    NullBuffer.Count = 0;
    NullBuffer.NullBuffer = true;
    NullBuffer.BufferSize = 10;
    C.push_back(NullBuffer);
    FormatCase Truncated = FormatCase{"%c", {0x4142}, "B", 1};
    Truncated.NarrowOnly = true;  // 16-bit output keeps 0x4142
    C.push_back(Truncated);
    return C;
  }();
  return Cases;
}

namespace {

// Plain numbers and plain "%a" of an 8-bit format into 8-bit output have a
// shorter way through the engine: these rows pin it, and its edges against
// the general steps (options, "l", widths from 38 on), here and cut at every
// buffer size below.
const std::vector<FormatCase>& PlainDirectiveCases() {
  auto Neg = [](int32_t Value) { return static_cast<uint32_t>(Value); };
  static const std::vector<FormatCase> Cases = {
      Row("%02x%02x-%04x", {0xA, 0x1BC, 0x9951}, "0A1BC-9951"),
      Row("%08x|%08x", {0x65D394, 0}, "0065D394|00000000"),
      Row("%x %X %u", {0, 0, 0}, "0 0 0"),
      Row("%d|%d|%d", {Neg(-1), 0x7FFFFFFFu, 0x80000000u}, "-1|2147483647|-2147483648"),
      Row("%u|%x", {0xFFFFFFFFu, 0xFFFFFFFFu}, "4294967295|FFFFFFFF"),
      Row("%5d|%5u|%5x", {Neg(-42), 42, 0x42}, "  -42|   42|   42"),
      Row("%02d|%03d|%04d|%06d", {Neg(-42), Neg(-42), Neg(-42), Neg(-42)}, "-42|-42|-042|-00042"),
      Row("%012d", {0x80000000u}, "-02147483648"),
      Row("%0d|%00x|%0X", {0, 0xAB, 7}, "0|AB|7"),
      // Zero-filled hexadecimal with one digit of width, up to eight places
      // and past them; a format that ends right after "%0" or "%04".
      Row("%01x|%08X|%09x|%04X", {0xAB, 0xFEDCBA98u, 0xAB, 0x12345}, "AB|FEDCBA98|0000000AB|12345"),
      Row("a%0", {}, "a"),
      Row("a%04", {}, "a    "),
      Row("%1X|%2X|%3X", {0x1F, 0x1F, 0x1F}, "1F|1F|01F"),
      Row("%0005u", {12}, "00012"),
      Row("%37x|", {1}, "                                    1|"),
      Row("%037X|", {0xF}, "000000000000000000000000000000000000F|"),
      Row("%37d|", {Neg(-7)}, "                                   -7|"),
      Row("%037d|", {Neg(-7)}, "-000000000000000000000000000000000007|"),
      Row("%38x|", {1}, "                                     1|"),
      // Widths at and just past the scratch area's size (FormatScratchSize, 38).
      Row("%038d|", {Neg(-5)}, "-0000000000000000000000000000000000005|"),
      Row("%39u|", {7}, std::string(38, ' ') + "7|"),
      Row("%,38d|", {1234567}, std::string(29, ' ') + "1,234,567|"),
      Row("%4294967297d|", {5}, "5|"),
      Row("%2147483648d|", {5}, "5|"),
      Row("%lx|%ld|%lu", {0x89ABCDEFu, 0x1234567u, 5, 0, 7, 0}, "123456789ABCDEF|5|7"),
      Row("%-4x|%+d|% d|%,u|%.3x", {0xA, 5, 5, 1000, 0xA}, "A   |+5| 5|1,000|00A"),
      Row("%d%", {3}, "3"),
      Row("%a|%a", {Slot(Hello), 0}, "hello|<null string>"),
      Row("%a%d%a", {Slot(Eleven), 2, Slot(Hello)}, "eleven char2hello"),
      Row("%5a|%la", {Slot(Hello), Slot(Hello)}, "hello|hello"),
  };
  return Cases;
}

}  // namespace

const std::vector<FormatCase>& ConversionCases() {
  auto Neg = [](int32_t Value) { return static_cast<uint32_t>(Value); };
  static const std::vector<FormatCase> Cases = {
      Row("%d", {Neg(-42)}, "-42"),
      Row("%5d", {42}, "   42"),
      Row("%-5d", {42}, "42   "),
      Row("%05d", {Neg(-42)}, "-0042"),
      Row("%.5d", {Neg(-42)}, "-00042"),
      Row("%+05d", {7}, "+0007"),
      Row("%+.3d", {7}, "+007"),
      Row("%-05d", {42}, "42   "),
      Row("%08.3d", {42}, "     042"),
      Row("% d", {5}, " 5"),
      Row("% d", {Neg(-5)}, "-5"),
      Row("%+ d", {5}, "+5"),
      Row("%+u", {5}, "5"),
      Row("% u", {5}, " 5"),
      Row("%+x", {255}, "+FF"),
      Row("%,d", {1234567}, "1,234,567"),
      Row("%,d", {Neg(-1234567)}, "-1,234,567"),
      Row("%,d", {999}, "999"),
      Row("%,d", {1000}, "1,000"),
      Row("%,d", {Neg(-100)}, "-100"),
      Row("%,010d", {Neg(-1234)}, "    -1,234"),
      Row("%,-8d", {Neg(-1234)}, "-1,234  "),
      Row("%,.8d", {1234}, "1,234"),
      Row("%,+d", {1234}, "+1,234"),
      Row("%,x", {0x1234}, "1234"),
      Row("%,u", {4000}, "4,000"),
      Row("%,ld", Slots64(0x8000000000000000ull), "-9,223,372,036,854,775,808"),
      Row("%x", {255}, "FF"),
      Row("%X", {255}, "FF"),
      Row("%8x", {255}, "      FF"),
      Row("%8X", {255}, "000000FF"),
      Row("%X", {0xABCD}, "ABCD"),
      Row("%p", {0x1234}, "1234"),
      Row("%8p", {0x1234}, "00001234"),
      Row("%+ 8p", {0x1234}, "00001234"),
      Row("%p", {0}, "0"),
      Row("%lp%d", {0x12, 7}, "127"),
      Row("%u", {0xFFFFFFFFu}, "4294967295"),
      Row("%x", {0xFFFFFFFFu}, "FFFFFFFF"),
      Row("%d", {0x80000000u}, "-2147483648"),
      Row("%lu", Slots64(~0ull), "18446744073709551615"),
      Row("%ld", Slots64(static_cast<uint64_t>(-5)), "-5"),
      Row("%ld", Slots64(0x8000000000000000ull), "-9223372036854775808"),
      Row("%ld", Slots64(10000000000000000000ull - 1), "-8446744073709551617"),
      Row("%lu", Slots64(4294967296ull * 10 + 9), "42949672969"),
      Row("%lx", Slots64(0x123456789ull), "123456789"),
      Row("%LX", Slots64(0xFEDCBA9876543210ull), "FEDCBA9876543210"),
      Row("%lld", Slots64(5), "5"),
      Row("%.0d", {0}, ""),
      Row("%5.0d", {0}, "     "),
      Row("%,.0d", {0}, "0"),
      Row("%+.0d", {0}, "+"),
      Row("%*d", {5, 42}, "   42"),
      Row("%.*d", {4, 42}, "0042"),
      Row("%0*d", {5, 42}, "00042"),
      Row("%g", {0}, "<null guid>"),
      Row("%g", {Slot(CountingGuid)}, "03020100-0504-0706-0809-0A0B0C0D0E0F"),
      Row("%40g|", {Slot(CountingGuid)}, "    03020100-0504-0706-0809-0A0B0C0D0E0F|"),
      Row("%.8g", {Slot(CountingGuid)}, "03020100"),
      Row("%t", {0}, "<null time>"),
      Row("%t", {Slot(SomeTime)}, "02/03/2025  04:05"),
      Row("%t", {Slot(OddTime)}, "12/255/0007  00:100"),
      Row("%r", {0}, "Success"),
      Row("%r", {5}, "Warning Stale Data"),
      Row("%r", {6}, "00000006"),
      Row("%r", {0x80000001u}, "Load Error"),
      Row("%r", {0x8000000Eu}, "Not Found"),
      Row("%r", {0x80000021u}, "Compromised Data"),
      Row("%r", {0x80000022u}, "80000022"),
      Row("%r", {0x80000000u}, "80000000"),
      Row("%r", {0xFFFFFFFFu}, "FFFFFFFF"),
      Row("%-12r|", {0x80000003u}, "Unsupported |"),
      Row("%.4r", {0x80000003u}, "Unsu"),
  };
  return Cases;
}

std::string ExpectedBytes(const FormatCase& Row, bool Wide) {
  if (!Wide) {
    return Row.Expected;
  }
  std::string Bytes;
  for (char Character : Row.Expected) {
    Bytes.push_back(Character);
    Bytes.push_back('\0');
  }
  return Bytes;
}

uint32_t RunCase(const FormatCase& Row, uint32_t ExtraFlags, uint32_t BufferSize, std::string* Text,
                 bool UseVariableList) {
  constexpr size_t Guard = 16;
  constexpr uint8_t Fresh = 0xA5;
  uint32_t Flags = Row.Flags | ExtraFlags;
  size_t CharSize = (Flags & OutputWide) != 0 ? 2 : 1;
  std::vector<uint8_t> Memory(Guard + BufferSize * CharSize + Guard, Fresh);
  uint8_t* Buffer = Row.NullBuffer ? nullptr : Memory.data() + Guard;

  std::vector<uint8_t> Format;
  for (char Character : Row.Format) {
    Format.push_back(static_cast<uint8_t>(Character));
    if ((Flags & FormatWide) != 0) {
      Format.push_back(0);
    }
  }
  Format.insert(Format.end(), (Flags & FormatWide) != 0 ? 2 : 1, 0);

  const uint32_t* Slots = Row.Slots.empty() ? nullptr : Row.Slots.data();
  uint32_t Result = UseVariableList ? FormatToBuffer(Buffer, BufferSize, Flags, Format.data(), Slots, nullptr)
                                    : FormatToBuffer(Buffer, BufferSize, Flags, Format.data(), nullptr, Slots);

  Text->clear();
  size_t Untouched = 0;  // bytes of the buffer the call wrote
  if (Buffer != nullptr && BufferSize != 0 && (Flags & CountOnly) == 0) {
    EXPECT_LT(Result, BufferSize);
    Result = std::min(Result, BufferSize - 1);
    Text->assign(Buffer, Buffer + Result * CharSize);
    for (size_t Byte = 0; Byte < CharSize; Byte++) {
      EXPECT_EQ(Buffer[Result * CharSize + Byte], 0) << "NUL missing";
    }
    Untouched = (Result + 1) * CharSize;
  }
  // Nothing past the NUL changes, nor anything around the buffer.
  size_t Changed = Memory.size();
  for (size_t Byte = 0; Byte < Memory.size() && Changed == Memory.size(); Byte++) {
    bool Written = Byte >= Guard && Byte < Guard + Untouched;
    if (!Written && Memory[Byte] != Fresh) {
      Changed = Byte;
    }
  }
  EXPECT_EQ(Changed, Memory.size()) << "byte " << static_cast<long>(Changed) - static_cast<long>(Guard)
                                    << " of the buffer changed";
  return Result;
}

namespace {

// Every other caller bit, up to bit 31: ignored by the engine.
constexpr uint32_t IgnoredCallerBits = ~static_cast<uint32_t>(OutputWide | FormatWide | CountOnly);

void CheckRows(const std::vector<FormatCase>& Rows) {
  for (const FormatCase& Row : Rows) {
    SCOPED_TRACE("format \"" + Row.Format + "\"");
    bool Wide = (Row.Flags & OutputWide) != 0;
    std::string Text;
    EXPECT_EQ(RunCase(Row, 0, Row.BufferSize, &Text), Row.Count);
    EXPECT_EQ(Text, ExpectedBytes(Row, Wide));

    std::string Again;
    EXPECT_EQ(RunCase(Row, 0, Row.BufferSize, &Again, true), Row.Count) << "variable list";
    EXPECT_EQ(Again, Text) << "variable list";
    EXPECT_EQ(RunCase(Row, IgnoredCallerBits, Row.BufferSize, &Again), Row.Count) << "other caller bits";
    EXPECT_EQ(Again, Text) << "other caller bits";
    if (!Wide && !Row.NarrowOnly) {
      EXPECT_EQ(RunCase(Row, OutputWide, Row.BufferSize, &Again), Row.Count) << "16-bit output";
      EXPECT_EQ(Again, ExpectedBytes(Row, true)) << "16-bit output";
    }
  }
}

// Rows whose expected text is the whole output of the format.
bool WritesWholeText(const FormatCase& Row) {
  return !Row.NullBuffer && (Row.Flags & CountOnly) == 0 && Row.Count + 1 < Row.BufferSize;
}

}  // namespace

TEST(FormatEngine, EngineEdgeCasesGiveExactBytesAndCounts) {
  CheckRows(EngineCases());
}

TEST(FormatEngine, NumberGuidTimeAndStatusCasesGiveExactBytesAndCounts) {
  CheckRows(ConversionCases());
}

TEST(FormatEngine, PlainNumberAndTextCasesGiveExactBytesAndCounts) {
  CheckRows(PlainDirectiveCases());
}

// The engine's dispatch and its conversion table (which the format fuzzer
// builds its slots from) agree for every character that can follow a "%":
// "%<c>%x" (and "%l<c>%x") over numbered slots prints, last, the slot after
// the ones the conversion took. Every slot also points at zeroed memory, so
// that a conversion reading through it reads an empty text, GUID or time.
TEST(FormatEngine, EveryConversionLetterTakesTheSlotsItsTableRowSays) {
  alignas(4) static const uint8_t Zeros[64] = {};
  // Slot k holds the address of Zeros[k + 1]: its digits tell which slot it
  // is, and its low byte is no NUL for %c to end the text with.
  uint32_t Slots[4];
  for (uint32_t Index = 0; Index < 4; Index++) {
    Slots[Index] = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(Zeros + Index + 1));
  }
  for (uint32_t Letter = 1; Letter < 0x100; Letter++) {
    // Options, widths and line breaks are not conversions.
    if (std::strchr(" +-,.*0123456789lL\n\r", static_cast<int>(Letter)) != nullptr) {
      continue;
    }
    const ConversionRow* Row = FindConversion(Letter);
    const struct {
      const char* Prefix;
      uint32_t Taken;
    } Forms[] = {
        {"%", Row == nullptr ? 0u : 1u},
        {"%l", Row == nullptr ? 0u : Row->Argument == ArgumentNumber ? 2u : 1u},
    };
    for (const auto& Form : Forms) {
      const std::string Format = std::string(Form.Prefix) + static_cast<char>(Letter) + "%x";
      char Out[256];
      FormatToBuffer(Out, sizeof Out, 0, Format.c_str(), nullptr, Slots);
      char Expected[16];
      std::snprintf(Expected, sizeof Expected, "%X", Slots[Form.Taken]);  // the engine's %x is upper case
      const std::string Text(Out), Tail(Expected);
      EXPECT_TRUE(Text.size() >= Tail.size() && Text.compare(Text.size() - Tail.size(), Tail.size(), Tail) == 0)
          << "\"" << Format << "\" printed \"" << Text << "\", not ending in slot " << Form.Taken << " (" << Tail << ")";
    }
  }
}

// %c takes the low 16 bits of its slot: a 16-bit output keeps them all, an
// 8-bit output the low byte, from an 8-bit and a 16-bit format alike.
TEST(FormatEngine, PercentCKeepsSixteenBitsInWideOutputAndTheLowByteInNarrowOutput) {
  struct Case {
    uint32_t Slot;
    uint16_t Wide;
    uint8_t Narrow;
  };
  const Case Cases[] = {
      {0x263A, 0x263A, 0x3A}, {0x1263A, 0x263A, 0x3A}, {0xFFFF, 0xFFFF, 0xFF}, {0xFF41, 0xFF41, 0x41}};
  const uint16_t WideFormat[] = {'%', 'c', '|', 0};
  for (const Case& C : Cases) {
    for (uint32_t FormatFlags : {0u, uint32_t{FormatWide}}) {
      const void* Format = FormatFlags != 0 ? static_cast<const void*>(WideFormat) : "%c|";
      SCOPED_TRACE("slot " + std::to_string(C.Slot) + ", format flags " + std::to_string(FormatFlags));
      uint16_t Wide[4] = {0xA5A5, 0xA5A5, 0xA5A5, 0xA5A5};
      EXPECT_EQ(FormatToBuffer(Wide, 4, FormatFlags | OutputWide, Format, nullptr, &C.Slot), 2u);
      EXPECT_EQ(std::vector<uint16_t>(Wide, Wide + 3), (std::vector<uint16_t>{C.Wide, '|', 0}));
      uint8_t Narrow[4] = {0xA5, 0xA5, 0xA5, 0xA5};
      EXPECT_EQ(FormatToBuffer(Narrow, 4, FormatFlags, Format, nullptr, &C.Slot), 2u);
      EXPECT_EQ(std::vector<uint8_t>(Narrow, Narrow + 3), (std::vector<uint8_t>{C.Narrow, '|', 0}));
    }
  }
}

TEST(FormatEngine, EveryBufferSizeCutsTheTextAndKeepsTheNulInside) {
  for (const auto* Rows : {&EngineCases(), &ConversionCases(), &PlainDirectiveCases()}) {
    for (const FormatCase& Row : *Rows) {
      if (!WritesWholeText(Row)) {
        continue;
      }
      for (bool Wide : {false, true}) {
        if ((Wide && Row.NarrowOnly) || (!Wide && (Row.Flags & OutputWide) != 0)) {
          continue;
        }
        uint32_t Extra = Wide ? OutputWide : 0;
        size_t CharSize = Wide ? 2 : 1;
        std::string Full = ExpectedBytes(Row, Wide);
        for (uint32_t Size = 0; Size <= Row.Count + 1; Size++) {
          SCOPED_TRACE("format \"" + Row.Format + "\", buffer " + std::to_string(Size) + (Wide ? " wide" : ""));
          uint32_t Fits = Size == 0 ? 0 : std::min(Size - 1, Row.Count);
          std::string Text;
          EXPECT_EQ(RunCase(Row, Extra, Size, &Text), Fits);
          EXPECT_EQ(Text, Full.substr(0, Fits * CharSize));
        }
      }
    }
  }
}

TEST(FormatEngine, CountOnlyCountsWhatAWholeBufferReceives) {
  for (const auto* Rows : {&EngineCases(), &ConversionCases(), &PlainDirectiveCases()}) {
    for (const FormatCase& Row : *Rows) {
      if (!WritesWholeText(Row)) {
        continue;
      }
      SCOPED_TRACE("format \"" + Row.Format + "\"");
      std::string Text;
      EXPECT_EQ(RunCase(Row, CountOnly, 0, &Text), Row.Count);
      EXPECT_EQ(RunCase(Row, CountOnly | OutputWide, 3, &Text), Row.Count);
    }
  }
}
