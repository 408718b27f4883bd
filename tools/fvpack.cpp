// fvpack: puts StatusSinkPei.efi into a firmware file and a firmware volume,
// or adds it to an existing volume.
//   fvpack IMAGE.efi [--base 0xFFFE0000] [--format te|pe32] [--ffs OUT.ffs] [--fv OUT.fv] [--size BYTES]
//   fvpack insert IMAGE.efi --into FILE [--offset N] [--after GUID] [--base ADDR] [--format te|pe32] -o OUT
// The image is rebased to the flash address where it will lie; the result is
// read back and checked as a foundation would before anything is written.
// Exit status: 0 written, 1 bad input (the reason and the file named).
#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "fv/Insert.h"
#include "fv/InputFile.h"
#include "fv/ModuleFile.h"
#include "hostlib/Text.h"
#include "fv/Placement.h"

namespace {

constexpr int kExitBadInput = 1;

// A number as scenarios write one: decimal digits, or one 0x and hexadecimal
// digits; no sign, no octal, no spaces.
uint64_t ParseNumber(const std::string& text, const char* what, uint64_t max) {
  const hostlib::ParsedNumber n = hostlib::ParseNumber(text);
  if (!n || n.value > max)
    throw fv::FvError(std::string(what) + " '" + text + "' is not a number of at most " + std::to_string(max) +
                      " (decimal, or hexadecimal after one 0x)" +
                      (n.problem == hostlib::NumberProblem::LeadingZero ? ": " + std::string(hostlib::Describe(n.problem)) : ""));
  return n.value;
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

// Both machines of this kit run the volume, or the user is told which cannot and why.
void NoteWhereItRuns(uint32_t base, uint64_t size) {
  try {
    fv::CheckVolumePlacement(base, size);
  } catch (const fv::FvError& e) {
    std::cerr << "fvpack: note: " << e.what() << ": sinksim and sinksim qemu will not run this volume\n";
  }
}

int Pack(int argc, char** argv) {
  CLI::App app{"fvpack: packs StatusSinkPei.efi into an FFS file and a firmware volume (see also: fvpack insert)"};
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
                hostlib::GuidText(options.fileName).c_str(), packed.ffs.size(), packed.fv.size(), options.base);
    std::printf("fvpack: %s image section %u bytes at 0x%08X (volume offset 0x%X), rebased to 0x%08X, "
                "%u relocations, data alignment %u",
                fv::FormatName(f), packed.imageBytes, options.base + packed.imageOffset, packed.imageOffset,
                packed.imageBase, packed.relocations, packed.dataAlignment);
    if (f == fv::ImageFormat::Te) std::printf(", %u header bytes saved against PE32", packed.strippedBytes);
    std::printf("\n");
  }
  return 0;
}

int Insert(int argc, char** argv) {
  CLI::App app{"fvpack insert: adds StatusSinkPei.efi to an existing firmware volume, alone or in a flash image"};
  std::string image, into, offset = "0", after, base, format = "te", out;
  bool quiet = false, fixedChecksum = false;
  app.add_option("image", image, "the module image (PE32)")->required();
  app.add_option("--into", into, "the volume, or a whole flash image holding it")->required();
  app.add_option("--offset", offset, "where the volume starts in that file (default 0)");
  app.add_option("--after", after, "put the file into the first room after the file of this name GUID");
  app.add_option("--base", base,
                 "the flash address of the file's first byte (default: the file ends at 4 GiB, as a boot flash does)");
  app.add_option("--format", format, "image section: te (default) or pe32");
  app.add_flag("--fixed-checksum", fixedChecksum, "write the fixed file checksum 0xAA instead of a data checksum");
  app.add_option("-o,--output", out, "write the changed file here")->required();
  app.add_flag("--quiet", quiet, "print nothing on success");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : kExitBadInput;
  }
  fv::InsertOptions options;
  options.file = fv::ModulePackOptions(0, ParseFormat(format));
  options.file.fixedChecksum = fixedChecksum;
  options.volumeOffset = ParseNumber(offset, "--offset", 0xFFFFFFFFu);
  if (!after.empty()) {
    options.after = hostlib::ParseGuid(after);
    if (!options.after) throw fv::FvError("--after '" + after + "' is not a GUID (XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX)");
  }
  const fv::PeFile pe = fv::ReadPeFile(image);
  const std::vector<uint8_t> flash = fv::ReadInputFile(into, {"flash image or volume", fv::kMaxFlashFileBytes});
  options.flashBase = base.empty() ? static_cast<uint32_t>(0x100000000ull - flash.size())
                                   : static_cast<uint32_t>(ParseNumber(base, "--base", 0xFFFFFFFFu));
  if (flash.empty()) throw fv::FvError(into + ": is empty");
  const fv::Inserted done = fv::Insert(flash, pe, options, into);
  // Never write what the machines' foundation refuses.
  fv::DispatchModule(std::span(done.flash).subspan(options.volumeOffset, done.volumeBytes), done.volumeBase,
                     into + " (volume at offset " + std::to_string(options.volumeOffset) + ", with the file added)",
                     std::vector<fv::Guid>{fv::HandlerPpi()});
  WriteFile(out, done.flash);
  if (!quiet) {
    std::printf("fvpack: %s -> file %s (%zu bytes) at volume offset 0x%X (address 0x%08X), in %s of the volume at "
                "0x%08X\n",
                image.c_str(), hostlib::GuidText(options.file.fileName).c_str(), done.file.bytes.size(), done.fileOffset,
                done.volumeBase + done.fileOffset, done.room.c_str(), done.volumeBase);
    std::printf("fvpack: %s image rebased to 0x%08X, %u relocations, data alignment %u; written to %s\n",
                fv::FormatName(options.file.format), done.file.imageBase, done.file.relocations,
                done.file.dataAlignment, out.c_str());
  }
  NoteWhereItRuns(done.volumeBase, done.volumeBytes);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc > 1 && std::string(argv[1]) == "insert") return Insert(argc - 1, argv + 1);
    return Pack(argc, argv);
  } catch (const std::bad_alloc&) {
    std::cerr << "fvpack: out of memory\n";
    return 3;
  } catch (const std::exception& e) {
    std::cerr << "fvpack: " << e.what() << "\n";
    return kExitBadInput;
  }
}
