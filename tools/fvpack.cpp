// fvpack: puts StatusSinkPei.efi into a firmware file and a firmware volume.
//   fvpack IMAGE.efi --base 0xFFFE0000 --format te|pe32 --ffs OUT.ffs --fv OUT.fv [--size BYTES]
// The image is rebased to the flash address where it will lie; the volume is
// read back and checked before anything is written.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "ModuleFile.h"

namespace {

uint32_t ParseAddress(const std::string& text, const char* what) {
  size_t used = 0;
  unsigned long long v = 0;
  try {
    v = std::stoull(text, &used, 0);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || used == 0 || v > 0xFFFFFFFFull)
    throw fv::FvError(std::string(what) + " '" + text + "' is not a 32-bit number");
  return static_cast<uint32_t>(v);
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw fv::FvError(path + ": cannot write");
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"fvpack: packs StatusSinkPei.efi into an FFS file and a firmware volume"};
  std::string image, base = "0xFFFE0000", format = "te", ffsPath, fvPath, size = "0";
  bool quiet = false;
  app.add_option("image", image, "the module image (PE32)")->required();
  app.add_option("--base", base, "flash address of the volume's first byte (default 0xFFFE0000)");
  app.add_option("--format", format, "image section: te (default) or pe32")->check(CLI::IsMember({"te", "pe32"}));
  app.add_option("--ffs", ffsPath, "write the firmware file here");
  app.add_option("--fv", fvPath, "write the firmware volume here");
  app.add_option("--size", size, "volume size in bytes (default: the smallest whole number of 4 KiB blocks)");
  app.add_flag("--quiet", quiet, "print nothing on success");
  CLI11_PARSE(app, argc, argv);
  try {
    const fv::ImageFormat f = format == "pe32" ? fv::ImageFormat::Pe32 : fv::ImageFormat::Te;
    fv::PackOptions options = fv::ModulePackOptions(ParseAddress(base, "--base"), f);
    options.volumeSize = ParseAddress(size, "--size");
    const fv::PeFile pe = fv::ReadPeFile(image);
    const fv::Packed packed = fv::Pack(pe, options);
    fv::ReadVolume(packed.fv, "packed volume");  // never write what the reader refuses
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
  } catch (const std::exception& e) {
    std::cerr << "fvpack: " << e.what() << "\n";
    return 1;
  }
}
