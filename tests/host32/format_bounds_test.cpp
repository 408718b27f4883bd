// How far the engine and the assertion line read: a string without a NUL
// (a wild pointer) is read no further than the output can use, and a record
// no further than its last byte. Each string here ends right before a page
// that cannot be read, so a read one character too far stops the test
// program. Also the engine's character limits at their exact edges.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "debugtext/DebugTextHandler.h"
#include "tests/host32/ModuleHarness.h"
#include "print/PrintInternal.h"

namespace {

// Bytes that end exactly where an unreadable page begins.
class BeforeGuardPage {
 public:
  explicit BeforeGuardPage(const std::string& bytes) {
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    base_ = static_cast<uint8_t*>(mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    EXPECT_NE(base_, MAP_FAILED);
    EXPECT_EQ(mprotect(base_ + page_, page_, PROT_NONE), 0);
    start_ = base_ + page_ - bytes.size();
    std::memcpy(start_, bytes.data(), bytes.size());
  }
  ~BeforeGuardPage() { munmap(base_, 2 * page_); }
  BeforeGuardPage(const BeforeGuardPage&) = delete;
  BeforeGuardPage& operator=(const BeforeGuardPage&) = delete;
  uint8_t* start() const { return start_; }

 private:
  size_t page_ = 0;
  uint8_t* base_ = nullptr;
  uint8_t* start_ = nullptr;
};

std::string Widened(const std::string& Text) {
  std::string Bytes;
  for (char Character : Text) {
    Bytes.push_back(Character);
    Bytes.push_back('\0');
  }
  return Bytes;
}

struct BoundedRow {
  const char* Format;
  bool WideText;         // the string has 16-bit characters (%s, %S)
  uint32_t BufferSize;   // in output characters
  std::string Expected;  // 8-bit; widened for 16-bit output
};

constexpr uint32_t StringCharacters = 16;  // characters before the unreadable page

TEST(FormatBounds, AStringWithoutNulIsReadOnlyAsFarAsItsFieldCanShow) {
  const std::string x16(StringCharacters, 'x');
  const std::vector<BoundedRow> Rows = {
      // No width, no precision: copied until the buffer is full.
      {"%a", false, 17, x16},
      {"%a", false, 9, "xxxxxxxx"},
      {"%s", true, 17, x16},
      {"%S", true, 5, "xxxx"},
      {"ab%a", false, 19, "ab" + x16},
      // A right-justified width needs the length only up to the width.
      {"%5a", false, 17, x16},
      {"%16a", false, 17, x16},
      {"%12s", true, 10, "xxxxxxxxx"},
      // Left-justified: the fill comes after the text, which fills the buffer.
      {"%-5a", false, 17, x16},
      {"%-30a", false, 17, x16},
      {"%-20S", true, 12, "xxxxxxxxxxx"},
      // A precision cuts the text, and the field is then laid out whole.
      {"%.16a|", false, 64, x16 + "|"},
      {"%20.16a|", false, 64, "    " + x16 + "|"},
      {"%-20.16a|", false, 64, x16 + "    |"},
      {"%.3S|%.16s|", true, 64, "xxx|" + x16 + "|"},
      {"%.*a|", false, 64, "xxxxx|"},  // precision 5 from the list
  };
  for (const BoundedRow& Row : Rows) {
    BeforeGuardPage Text(Row.WideText ? Widened(x16) : x16);
    uint32_t Pointer = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(Text.start()));
    const uint32_t Slots[] = {std::strstr(Row.Format, "*") != nullptr ? 5u : Pointer, Pointer};
    for (uint32_t Flags : {0u, uint32_t{GeneralPathOnly}, uint32_t{OutputWide}, uint32_t{OutputWide | GeneralPathOnly}}) {
      SCOPED_TRACE(std::string("format \"") + Row.Format + "\", flags " + std::to_string(Flags));
      bool Wide = (Flags & OutputWide) != 0;
      std::vector<uint8_t> Buffer((Row.BufferSize + 1) * 2, 0xA5);
      uint32_t Result = FormatToBuffer(Buffer.data(), Row.BufferSize, Flags, Row.Format, nullptr, Slots);
      std::string Expected = Wide ? Widened(Row.Expected) : Row.Expected;
      EXPECT_EQ(Result, Row.Expected.size());
      EXPECT_EQ(std::string(Buffer.begin(), Buffer.begin() + Expected.size()), Expected);
    }
  }
}

TEST(FormatBounds, CountOnlyMeasuresATextUpToTheCharacterLimit) {
  // A text longer than the limit counts as FormatMaxCharacters characters;
  // one of exactly the limit, or shorter, counts whole.
  std::vector<char> Long(FormatMaxCharacters + 50, 'y');
  const uint32_t LongSlot[] = {static_cast<uint32_t>(reinterpret_cast<uintptr_t>(Long.data()))};
  for (uint32_t Length : {FormatMaxCharacters + 49, FormatMaxCharacters + 1, FormatMaxCharacters,
                          FormatMaxCharacters - 1}) {
    Long[Length] = 0;
    const uint32_t Counted = Length < FormatMaxCharacters ? Length : FormatMaxCharacters;
    EXPECT_EQ(FormatToBuffer(nullptr, 0, CountOnly, "%a", nullptr, LongSlot), Counted) << Length;
    EXPECT_EQ(FormatToBuffer(nullptr, 0, CountOnly, "%5a", nullptr, LongSlot), Counted) << Length;
  }
}

TEST(FormatBounds, ABufferOfExactlyTheCharacterLimitIsTakenAndOneMoreIsRefused) {
  for (uint32_t Flags : {0u, uint32_t{OutputWide}}) {
    const size_t CharSize = Flags == OutputWide ? 2 : 1;
    for (uint32_t Size : {FormatMaxCharacters - 1, FormatMaxCharacters, FormatMaxCharacters + 1}) {
      SCOPED_TRACE("buffer of " + std::to_string(Size) + " characters, flags " + std::to_string(Flags));
      std::vector<uint8_t> Buffer(size_t{Size} * CharSize, 0xA5);
      const bool Taken = Size <= FormatMaxCharacters;
      EXPECT_EQ(FormatToBuffer(Buffer.data(), Size, Flags, "ab", nullptr, nullptr), Taken ? 2u : 0u);
      EXPECT_EQ(Buffer[0], Taken ? 'a' : 0xA5) << "a refused call writes nothing";
    }
  }
}

TEST(FormatBounds, AFormatOfExactlyTheCharacterLimitIsTakenAndOneMoreIsRefused) {
  for (uint32_t Flags : {0u, uint32_t{FormatWide}}) {
    size_t CharSize = Flags == FormatWide ? 2 : 1;
    for (uint32_t Length : {FormatMaxCharacters - 1, FormatMaxCharacters, FormatMaxCharacters + 1}) {
      SCOPED_TRACE("format of " + std::to_string(Length) + " characters, flags " + std::to_string(Flags));
      std::vector<uint8_t> Format((Length + 1) * CharSize, 0);
      for (size_t Place = 0; Place < Length; Place++) {
        Format[Place * CharSize] = 'f';
      }
      char Buffer[8];
      std::memset(Buffer, 0xA5, sizeof(Buffer));
      uint32_t Result = FormatToBuffer(Buffer, 4, Flags, Format.data(), nullptr, nullptr);
      if (Length <= FormatMaxCharacters) {
        EXPECT_EQ(Result, 3u);
        EXPECT_EQ(std::string(Buffer, 4), std::string("fff\0", 4));
        EXPECT_EQ(FormatToBuffer(nullptr, 0, Flags | CountOnly, Format.data(), nullptr, nullptr), Length);
      } else {
        EXPECT_EQ(Result, 0u);
        EXPECT_EQ(static_cast<uint8_t>(Buffer[0]), 0xA5) << "a refused call writes nothing";
        EXPECT_EQ(FormatToBuffer(nullptr, 0, Flags | CountOnly, Format.data(), nullptr, nullptr), 0u);
      }
    }
  }
  EXPECT_EQ(BoundedAsciiLength(std::string(FormatMaxCharacters, 'f').c_str()), FormatMaxCharacters);
  EXPECT_EQ(BoundedAsciiLength(std::string(FormatMaxCharacters + 1, 'f').c_str()), FormatMaxCharacters + 1);
  EXPECT_EQ(BoundedAsciiLength(std::string(FormatMaxCharacters + 7, 'f').c_str()), FormatMaxCharacters + 1);
}

TEST(FormatBounds, AnAssertionRecordIsReadNoFurtherThanItsLastByte) {
  // The record ends right before an unreadable page, and its Size says so.
  // A file name that the record ends in before its NUL is not held: the
  // line shows neither it nor a description. A file name of which the
  // record holds at least as much as the line can show is shown cut at the
  // line's end, whether or not its NUL comes inside the record; the
  // description would start past what the line shows, so it is never read.
  // A description is held on the same terms.
  const std::string Prefix = "\r\nPEI_ASSERT!: ";
  const uint32_t Room = DebugTextLineSize - 1 - static_cast<uint32_t>(Prefix.size());
  const std::string Cut = Prefix + std::string(Room, 'F');
  struct Case {
    const char* What;
    std::string Texts;  // from offset 52 to the record's end
    std::string Expected;
  };
  const Case Cases[] = {
      {"a short file name without its NUL", std::string(10, 'F'), Prefix + " (9): \r\n"},
      {"one character less than the line shows, without its NUL", std::string(Room - 1, 'F'), Prefix + " (9): \r\n"},
      {"as much as the line shows, without its NUL", std::string(Room, 'F'), Cut},
      {"a file name that runs on without its NUL", std::string(2 * DebugTextLineSize, 'F'), Cut},
      {"a file name longer than the line, its NUL the record's last byte",
       std::string(DebugTextLineSize, 'F') + std::string(1, '\0'), Cut},
      {"a short description without its NUL", std::string("F.c\0", 4) + std::string(10, 'D'),
       Prefix + "F.c (9): \r\n"},
      {"a description that runs on without its NUL", std::string("F.c\0", 4) + std::string(Room, 'D'),
       (Prefix + "F.c (9): " + std::string(Room, 'D')).substr(0, DebugTextLineSize - 1)},
  };
  for (const Case& C : Cases) {
    std::string Record(52, '\0');
    Record += C.Texts;
    const uint16_t Size = static_cast<uint16_t>(Record.size() - sizeof(EFI_STATUS_CODE_DATA));
    std::memcpy(Record.data() + 2, &Size, 2);
    const uint32_t Line = 9;
    std::memcpy(Record.data() + 40, &Line, 4);
    BeforeGuardPage Data(Record);
    test::ModuleHarness h;
    h.platform.cmos.Set(0x5C, 0x80);
    EXPECT_EQ(DebugTextHandler(h.services(), EFI_ERROR_CODE | EFI_ERROR_UNRECOVERED, 0x00010007, 0, nullptr,
                               reinterpret_cast<const EFI_STATUS_CODE_DATA*>(Data.start())),
              EFI_SUCCESS)
        << C.What;
    EXPECT_EQ(h.platform.legacyUart.Text(), C.Expected) << C.What;
  }
}

}  // namespace
