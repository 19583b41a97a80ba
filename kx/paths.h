// The checks kx makes on paths before it writes a manifest or a container, or reads the files a
// manifest names: dzlib's (dzlib/paths.h), which the pack engine shares.
#pragma once

#include "dzlib/paths.h"

namespace kx {

using dz::sameFile;
using dz::specialFileAt;
using dz::staysInside;

}  // namespace kx
