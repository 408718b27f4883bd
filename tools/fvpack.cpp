// fvpack: puts StatusSinkPei.efi into a firmware file and a firmware volume.
//   fvpack IMAGE.efi [--base 0xFFFE0000] [--format te|pe32] [--ffs OUT.ffs] [--fv OUT.fv] [--size BYTES]
// The image is rebased to the flash address where it will lie; the result is
// read back and checked as a foundation would before anything is written.
// Exit status: 0 written, 1 bad input (the reason and the file named).
#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "InputFile.h"
#include "ModuleFile.h"
#include "Placement.h"

namespace {

constexpr int kExitBadInput = 1;

// A number as scenarios write one: decimal digits, or one 0x and hexadecimal
// digits; no sign, no octal, no spaces.
uint64_t ParseNumber(const std::string& text, const char* what, uint64_t max) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const uint64_t base = hex ? 16 : 10;
  uint64_t v = 0;
  bool ok = text.size() > (hex ? 2u : 0u);
  for (size_t i = hex ? 2 : 0; ok && i < text.size(); ++i) {
    const char c = text[i];
    const int d = c >= '0' && c <= '9'           ? c - '0'
                  : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                : -1;
    ok = d >= 0 && v <= (max - static_cast<uint64_t>(d)) / base;
    v = v * base + static_cast<uint64_t>(d);
  }
  if (!ok)
    throw fv::FvError(std::string(what) + " '" + text + "' is not a number of at most " + std::to_string(max) +
                      " (decimal, or hexadecimal after one 0x)");
  return v;
}

fv::ImageFormat ParseFormat(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (text == "te") return fv::ImageFormat::Te;
  if (text == "pe32") return fv::ImageFormat::Pe32;
  throw fv::FvError("--format '" + text + "' is neither te nor pe32");
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw fv::FvError(path + ": cannot write");
}

int Pack(int argc, char** argv) {
  CLI::App app{"fvpack: packs StatusSinkPei.efi into an FFS file and a firmware volume"};
  std::string image, base = "0xFFFE0000", format = "te", ffsPath, fvPath, size = "0";
  bool quiet = false, fixedChecksum = false;
  app.add_option("image", image, "the module image (PE32)")->required();
  app.add_option("--base", base, "flash address of the volume's first byte (default 0xFFFE0000)");
  app.add_option("--format", format, "image section: te (default) or pe32");
  app.add_option("--ffs", ffsPath, "write the firmware file here");
  app.add_option("--fv", fvPath, "write the firmware volume here");
  app.add_option("--size", size, "volume size in bytes (default: the smallest whole number of 4 KiB blocks)");
  app.add_flag("--fixed-checksum", fixedChecksum, "write the fixed file checksum 0xAA instead of a data checksum");
  app.add_flag("--quiet", quiet, "print nothing on success");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : kExitBadInput;
  }
  const fv::ImageFormat f = ParseFormat(format);
  fv::PackOptions options = fv::ModulePackOptions(static_cast<uint32_t>(ParseNumber(base, "--base", 0xFFFFFFFFu)), f);
  options.volumeSize = static_cast<uint32_t>(ParseNumber(size, "--size", 0xFFFFFFFFu));
  options.fixedChecksum = fixedChecksum;
  const fv::PeFile pe = fv::ReadPeFile(image);
  const fv::Packed packed = fv::Pack(pe, options);
  // Never write what the machines' foundation refuses.
  fv::DispatchModule(packed.fv, options.base, "packed volume", std::vector<fv::Guid>{fv::HandlerPpi()});
  if (!ffsPath.empty()) WriteFile(ffsPath, packed.ffs);
  if (!fvPath.empty()) WriteFile(fvPath, packed.fv);
  if (!quiet) {
    std::printf("fvpack: %s -> file %s (%zu bytes), volume of %zu bytes at 0x%08X\n", image.c_str(),
                fv::GuidText(options.fileName).c_str(), packed.ffs.size(), packed.fv.size(), options.base);
    std::printf("fvpack: %s image section %u bytes at 0x%08X (volume offset 0x%X), rebased to 0x%08X, "
                "%u relocations, data alignment %u",
                fv::FormatName(f), packed.imageBytes, options.base + packed.imageOffset, packed.imageOffset,
                packed.imageBase, packed.relocations, packed.dataAlignment);
    if (f == fv::ImageFormat::Te) std::printf(", %u header bytes saved against PE32", packed.strippedBytes);
    std::printf("\n");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Pack(argc, argv);
  } catch (const std::bad_alloc&) {
    std::cerr << "fvpack: out of memory\n";
    return 3;
  } catch (const std::exception& e) {
    std::cerr << "fvpack: " << e.what() << "\n";
    return kExitBadInput;
  }
}
