// Data records cut short: whatever Size a record's header declares, the
// module reads nothing past the record's 20 + Size bytes. A field the record
// does not wholly hold is absent: a number reads as 0 and a text as empty (a
// text is held only together with its NUL). Each record kind the module reads
// is delivered through both handlers with every Size from 0 to one past its
// last field, with bytes behind the record that would print if they were
// read: the rest of the full record (an earlier report's text) or a fill.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "debugtext/DebugTextHandler.h"
#include "start/ModuleEntry.h"
#include "tests/host32/ModuleHarness.h"
#include "postcode/PostCode.h"

namespace {

using test::ModuleWithBase;

constexpr uint32_t kHeaderBytes = sizeof(EFI_STATUS_CODE_DATA);
constexpr uint32_t kMajorSeverity = 0x80000000u;
const EFI_GUID kAssertDataGuid = {0xDA571595, 0x4D99, 0x487C, {0x82, 0x7C, 0x26, 0x22, 0x67, 0x7D, 0x33, 0x07}};

// What a record of `bytes` bytes (header included) holds of a field.
struct Held {
  uint32_t bytes;
  uint32_t Number(uint32_t offset, uint32_t value) const { return offset + 4 <= bytes ? value : 0; }
  std::string Text(uint32_t offset, const std::string& text) const {
    return offset + text.size() + 1 <= bytes ? text : "";
  }
};

struct Outcome {
  std::string text;
  std::vector<uint16_t> postcodes;
  EFI_STATUS textResult = EFI_SUCCESS;
};

// A full record of `kind`: its bytes, and what a cut copy of it must print.
struct RecordKind {
  const char* what;
  uint32_t type, value;
  std::vector<uint8_t> bytes;  // header (Size set per delivery) and payload
  uint32_t fill;               // the word repeated behind the record in the fill background
  std::function<Outcome(const Held&)> expected;
};

std::vector<uint8_t> NewRecord(const EFI_GUID& type, uint32_t bytes) {
  std::vector<uint8_t> r(bytes, 0);
  const uint16_t headerSize = kHeaderBytes;
  std::memcpy(r.data(), &headerSize, 2);
  std::memcpy(r.data() + 4, &type, sizeof(type));
  return r;
}
void Put32(std::vector<uint8_t>& r, uint32_t offset, uint32_t value) { std::memcpy(r.data() + offset, &value, 4); }
void PutText(std::vector<uint8_t>& r, uint32_t offset, const std::string& text) {
  std::memcpy(r.data() + offset, text.c_str(), text.size() + 1);
}
uint32_t Address(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }
std::string Hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "%X", v);
  return text;
}

const char kArgument[] = "arg";
const char kString[] = "hello";

std::vector<RecordKind> RecordKinds() {
  std::vector<RecordKind> kinds;
  {
    // Line number at 40, file name at 52, the description behind its NUL.
    const std::string file = "Foo.c", description = "x > 0";
    const uint32_t descriptionOffset = 52 + static_cast<uint32_t>(file.size()) + 1;
    std::vector<uint8_t> r =
        NewRecord(kAssertDataGuid, descriptionOffset + static_cast<uint32_t>(description.size()) + 1);
    Put32(r, 40, 77);
    PutText(r, 52, file);
    PutText(r, descriptionOffset, description);
    kinds.push_back({"assertion", EFI_ERROR_CODE | EFI_ERROR_UNRECOVERED, 0x00010007, r, 0x5A5A5A5A,
                     [=](const Held& h) {
                       return Outcome{"\r\nPEI_ASSERT!: " + h.Text(52, file) + " (" +
                                      std::to_string(h.Number(40, 77)) + "): " +
                                      h.Text(descriptionOffset, description) + "\r\n"};
                     }});
  }
  {
    // Level at 20, packed arguments from 24, the format at 120.
    const std::string format = "%a|%d\n";
    std::vector<uint8_t> r = NewRecord(DebugMessageDataGuid, 120 + static_cast<uint32_t>(format.size()) + 1);
    Put32(r, 20, 0x40);
    Put32(r, 24, Address(kArgument));
    Put32(r, 28, 5);
    PutText(r, 120, format);
    kinds.push_back({"debug message", EFI_DEBUG_CODE, 0, r, 0x5A5A5A5A, [=](const Held& h) {
                       if ((h.Number(20, 0x40) & DebugErrorLevelMask) == 0) return Outcome{};
                       return Outcome{h.Text(120, format).empty() ? "" : "arg|5\r\n"};
                     }});
  }
  {
    // A format that wants more arguments than the packed list's 24 slots:
    // the rest read 0, not the format's own bytes or what lies behind the
    // record. By the short way (%x) and by the general steps (widths).
    std::string format, line;
    for (uint32_t n = 1; n <= 26; ++n) {
      format += "%x";
      line += n <= 24 ? Hex(n) : "0";
    }
    for (const auto& [what, wanted, text] : {std::tuple<const char*, std::string, std::string>{
                                                 "debug message wanting 26 numbers", format + "\n", line},
                                             {"debug message of 40 widths", "%" + std::string(40, '*') + "d\n", "0"}}) {
      const std::string f = wanted;
      std::vector<uint8_t> r = NewRecord(DebugMessageDataGuid, 120 + static_cast<uint32_t>(f.size()) + 1);
      Put32(r, 20, 0x40);
      for (uint32_t n = 0; n < 24; ++n) Put32(r, 24 + 4 * n, n + 1);
      PutText(r, 120, f);
      const std::string shown = text + "\r\n";
      kinds.push_back({what, EFI_DEBUG_CODE, 0, r, 0x5A5A5A5A, [=](const Held& h) {
                         return Outcome{h.Text(120, f).empty() ? "" : shown};
                       }});
    }
  }
  for (uint32_t kind : {0u, 1u}) {
    // Kind at 20 (0: 8-bit), the string's address at 24.
    std::vector<uint8_t> r = NewRecord(StringDataGuid, 28);
    Put32(r, 20, kind);
    Put32(r, 24, Address(kString));
    kinds.push_back({kind == 0 ? "8-bit string" : "string of another kind", EFI_DEBUG_CODE, 0x00123456, r,
                     0x5A5A5A5A, [=](const Held& h) {
                       if (h.Number(20, kind) != 0) return Outcome{"Undefined: C3:V123456 I0\r\n"};
                       return Outcome{(h.Number(24, Address(kString)) != 0 ? kString : "<null string>") +
                                      std::string("\r\n")};
                     }});
  }
  {
    // The module's GUID address at 20; a cut record names no module. The
    // fill points at another module, so a word read past the record shows.
    std::vector<uint8_t> r = NewRecord(StatusCodeSpecificDataGuid, 24);
    Put32(r, 20, Address(ModuleWithBase(0x34)));
    kinds.push_back({"module begin", EFI_PROGRESS_CODE, PostCodeValueModuleBegin, r,
                     Address(ModuleWithBase(0x21)), [](const Held& h) {
                       if (h.Number(20, 1) == 0) return Outcome{"", {}, EFI_NOT_FOUND};
                       return Outcome{"<ZEB POSTCODE>: 0134\r\n", {0x134}};
                     }});
    // The error line's data piece is the record's address, whatever it holds.
    kinds.push_back({"error line", EFI_ERROR_CODE | kMajorSeverity, 0x00051003, r, Address(ModuleWithBase(0x21)),
                     nullptr});
  }
  return kinds;
}

TEST(RecordBounds, ACutRecordPrintsOnlyTheFieldsItHoldsWhateverLiesBehindIt) {
  for (const RecordKind& kind : RecordKinds()) {
    for (bool fillBehind : {false, true}) {
      test::ModuleHarness h;
      h.platform.cmos.Set(0x5C, 0x80);
      ASSERT_EQ(ModuleEntry(nullptr, h.services()), EFI_SUCCESS);
      const uint32_t full = static_cast<uint32_t>(kind.bytes.size());
      for (uint32_t size = 0; kHeaderBytes + size <= full + 1; ++size) {
        SCOPED_TRACE(std::string(kind.what) + (fillBehind ? ", fill" : ", earlier record") + " behind, Size " +
                     std::to_string(size));
        // The record and 256 bytes behind it, 4-byte aligned; the last byte
        // is a NUL, so that a read past the record stops somewhere.
        std::vector<uint32_t> words((full + 256) / 4, 0);
        uint8_t* area = reinterpret_cast<uint8_t*>(words.data());
        std::memcpy(area, kind.bytes.data(), full);
        const uint16_t size16 = static_cast<uint16_t>(size);
        std::memcpy(area + 2, &size16, 2);
        if (fillBehind) {
          for (uint32_t at = kHeaderBytes + size; at < words.size() * 4 - 1; ++at)
            area[at] = static_cast<uint8_t>(kind.fill >> (8 * (at % 4)));
        }
        const auto* data = reinterpret_cast<const EFI_STATUS_CODE_DATA*>(area);
        const Outcome expected =
            kind.expected ? kind.expected(Held{kHeaderBytes + size})
                          : Outcome{"ERROR: C" + Hex(kind.type) + ":V" + Hex(kind.value) + " I0 " + Hex(Address(data)) +
                                    "\r\n"};
        h.platform.legacyUart.Clear();
        h.platform.postCodes.Clear();
        EXPECT_EQ(h.env.Report(kind.type, kind.value, 0, nullptr, data),
                  (std::vector<EFI_STATUS>{expected.textResult, EFI_SUCCESS}));
        EXPECT_EQ(h.platform.legacyUart.Text(), expected.text);
        EXPECT_EQ(h.platform.postCodes.Codes(), expected.postcodes);
      }
    }
  }
}

}  // namespace
