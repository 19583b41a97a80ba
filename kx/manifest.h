// The manifest kx extract writes and kx pack reads: dzlib's (dzlib/manifest.h), which the
// library's pack reads too.
#pragma once

#include "dzlib/manifest.h"

namespace kx {

using dz::ContentPlace;
using dz::kLargestManifest;
using dz::Manifest;
using dz::ManifestEntry;
using dz::manifestText;
using dz::Origin;
using dz::parseManifest;

}  // namespace kx
