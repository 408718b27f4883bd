// The bare .efi the machine loads for unit work, through fv/: one parser and
// one check for every path that takes an image (fvpack, the volume in place,
// the relocated .efi), so all accept the same images and refuse the rest
// with the same reason.
#ifndef STATUSSINK_EMU_PEIMAGE_H
#define STATUSSINK_EMU_PEIMAGE_H

#include <string>

#include "fv/Image.h"

namespace emu {

// Every refusal of an image, volume or dump.
using ImageError = fv::FvError;
using PeImage = fv::PeFile;

// The image file, read with its size cap and checked.
inline PeImage LoadPeImage(const std::string& path) { return fv::ReadPeFile(path); }

}  // namespace emu

#endif
