// The engine against the C library's vsnprintf on generated formats, byte for
// byte, on the part of the grammar where both define the same text:
//   %d %u %c, and %a against %s; options "-", "+", " ", "0"; widths and
//   precisions as digits or "*"; 32-bit values and 64-bit ones ("l" here,
//   "ll" there); literal text and "%%".
// Left out, because the two define different texts:
//   - hexadecimal (%x prints upper-case digits here) and %p (no "0x" here);
//   - "," grouping (a locale matter in C) and "L";
//   - a bare "." without digits (precision 1 here, 0 in C);
//   - a negative width from "*" (no width here, left justification in C);
//   - " " with %u (kept here, ignored by glibc), and "+", " ", "0" with %c
//     and %s, which C leaves undefined;
//   - a precision with %c (undefined in C; here it fills on the left), and a
//     string precision above the string's length (C prints the string, here
//     it is filled on the left with spaces up to the precision);
//   - %c of a character whose low byte is 0, and null string pointers;
//   - line feeds and carriage returns, which this engine turns into CR LF.
// On IA32 a va_list is a pointer to 4-byte slots, the same layout as the
// engine's argument lists, so one slot array feeds both.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "print/Print.h"

namespace {

struct GeneratedCase {
  std::string Ours;    // the engine's format
  std::string Theirs;  // the C library's format
  std::vector<uint32_t> Slots;
};

class CaseGenerator {
 public:
  explicit CaseGenerator(uint32_t Seed) : Random(Seed) {}

  GeneratedCase Next() {
    GeneratedCase Case;
    Strings.clear();
    Strings.reserve(8);  // the slots hold addresses into these
    uint32_t Pieces = Pick(1, 5);
    for (uint32_t Piece = 0; Piece < Pieces; Piece++) {
      if (Pick(0, 3) == 0) {
        AddLiteral(&Case);
      } else {
        AddDirective(&Case);
      }
    }
    return Case;
  }

 private:
  uint32_t Pick(uint32_t Low, uint32_t High) {
    return std::uniform_int_distribution<uint32_t>(Low, High)(Random);
  }

  void Both(GeneratedCase* Case, const std::string& Text) {
    Case->Ours += Text;
    Case->Theirs += Text;
  }

  void AddLiteral(GeneratedCase* Case) {
    if (Pick(0, 4) == 0) {
      Both(Case, "%%");
      return;
    }
    for (uint32_t Count = Pick(1, 6); Count > 0; Count--) {
      char Character = static_cast<char>(Pick(' ', '~'));
      Both(Case, std::string(1, Character == '%' ? '#' : Character));
    }
  }

  // A 32-bit or 64-bit value, often one at an edge.
  uint64_t Value(bool Wide) {
    static const uint64_t Edges[] = {0, 1, 9, 10, 99, 100, 999, 1000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF,
                                     0x100000000ull, 0x7FFFFFFFFFFFFFFFull, 0x8000000000000000ull,
                                     0xFFFFFFFFFFFFFFFFull, 10000000000000000000ull};
    uint64_t Raw = Pick(0, 2) == 0 ? Edges[Pick(0, sizeof(Edges) / sizeof(Edges[0]) - 1)]
                                   : (static_cast<uint64_t>(Random()) << 32 | Random()) >> Pick(0, 63);
    if (Pick(0, 3) == 0) {
      Raw = 0 - Raw;
    }
    return Wide ? Raw : static_cast<uint32_t>(Raw);
  }

  void AddWidthAndPrecision(GeneratedCase* Case, bool WithPrecision, uint32_t MaxPrecision) {
    uint32_t Width = Pick(0, 3);
    if (Width == 1) {
      Both(Case, std::to_string(Pick(1, 30)));
    } else if (Width == 2) {
      Both(Case, "*");
      Case->Slots.push_back(Pick(0, 30));
    }
    if (!WithPrecision || Pick(0, 1) == 0) {
      return;
    }
    if (Pick(0, 2) == 0) {
      // From the arguments; a negative one counts as none in both.
      Both(Case, ".*");
      Case->Slots.push_back(static_cast<uint32_t>(static_cast<int32_t>(Pick(0, MaxPrecision + 4)) - 4));
    } else {
      Both(Case, "." + std::to_string(Pick(0, MaxPrecision)));
    }
  }

  void AddDirective(GeneratedCase* Case) {
    Both(Case, "%");
    switch (Pick(0, 3)) {
      case 0:
      case 1: {  // d or u
        bool Unsigned = Pick(0, 1) == 1;
        std::string Options = Unsigned ? "-+0" : "-+ 0";
        for (char Option : Options) {
          if (Pick(0, 2) == 0) {
            Both(Case, std::string(1, Option));
          }
        }
        AddWidthAndPrecision(Case, true, 25);
        bool Wide = Pick(0, 1) == 1;
        Case->Ours += Wide ? "l" : "";
        Case->Theirs += Wide ? "ll" : "";
        Both(Case, Unsigned ? "u" : "d");
        uint64_t Number = Value(Wide);
        Case->Slots.push_back(static_cast<uint32_t>(Number));
        if (Wide) {
          Case->Slots.push_back(static_cast<uint32_t>(Number >> 32));
        }
        return;
      }
      case 2: {  // c, of any 32-bit value with a low byte other than 0
        if (Pick(0, 2) == 0) {
          Both(Case, "-");
        }
        AddWidthAndPrecision(Case, false, 0);
        Both(Case, "c");
        uint32_t Character = static_cast<uint32_t>(Random());
        Case->Slots.push_back((Character & ~0xFFu) | Pick(1, 255));
        return;
      }
      default: {  // a here, s there
        std::string Text;
        for (uint32_t Count = Pick(0, 20); Count > 0; Count--) {
          Text.push_back(static_cast<char>(Pick(1, 255)));
        }
        if (Pick(0, 2) == 0) {
          Both(Case, "-");
        }
        AddWidthAndPrecision(Case, true, static_cast<uint32_t>(Text.size()));
        Case->Ours += "a";
        Case->Theirs += "s";
        Strings.push_back(Text);
        Case->Slots.push_back(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(Strings.back().c_str())));
        return;
      }
    }
  }

  std::mt19937 Random;
  std::vector<std::string> Strings;
};

// The C library's text for the case, through a va_list made of the slots.
std::string Theirs(const GeneratedCase& Case, size_t Size, int* Length) {
  std::vector<char> Buffer(Size + 1, '\x5A');
  *Length = vsnprintf(Buffer.data(), Size, Case.Theirs.c_str(),
                      reinterpret_cast<va_list>(const_cast<uint32_t*>(Case.Slots.data())));
  return std::string(Buffer.data(), Size == 0 ? 0 : std::min<size_t>(Size - 1, *Length));
}

std::string Ours(const GeneratedCase& Case, uint32_t Size, uint32_t* Count) {
  std::vector<char> Buffer(Size + 1, '\x5A');
  *Count = FormatToBuffer(Buffer.data(), Size, 0, Case.Ours.c_str(), nullptr, Case.Slots.data());
  EXPECT_EQ(Buffer[*Count], '\0');
  EXPECT_EQ(Buffer[Size], '\x5A') << "wrote past the buffer";
  return std::string(Buffer.data(), *Count);
}

}  // namespace

TEST(FormatAgainstSnprintf, GeneratedFormatsGiveTheSameBytes) {
  constexpr int Cases = 20000;
  CaseGenerator Generator(20250203);
  int Mismatches = 0;
  for (int Index = 0; Index < Cases && Mismatches < 10; Index++) {
    GeneratedCase Case = Generator.Next();
    int Length = 0;
    std::string Expected = Theirs(Case, 600, &Length);
    ASSERT_LT(Length, 600);
    uint32_t Count = 0;
    std::string Text = Ours(Case, 600, &Count);
    uint32_t Counted = FormatToBuffer(nullptr, 0, CountOnly, Case.Ours.c_str(), nullptr, Case.Slots.data());

    // The same text cut into a smaller buffer: both keep the first Size - 1.
    uint32_t Size = static_cast<uint32_t>(Index % (Length + 2));
    uint32_t CutCount = 0;
    std::string Cut = Size == 0 ? "" : Ours(Case, Size, &CutCount);
    int CutLength = 0;
    std::string CutExpected = Size == 0 ? "" : Theirs(Case, Size, &CutLength);

    bool Same = Text == Expected && Count == static_cast<uint32_t>(Length) && Counted == Count &&
                Cut == CutExpected && CutCount == Cut.size();
    if (!Same) {
      Mismatches++;
      ADD_FAILURE() << "case " << Index << ": \"" << Case.Ours << "\" vs \"" << Case.Theirs << "\"\n  ours   \""
                    << Text << "\" (" << Count << ", counted " << Counted << ")\n  theirs \"" << Expected
                    << "\" (" << Length << ")\n  cut to " << Size << ": \"" << Cut << "\" vs \"" << CutExpected
                    << "\"";
    }
  }
  EXPECT_EQ(Mismatches, 0);
}
