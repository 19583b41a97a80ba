// The manifest kx extract writes when asked to: the container's header fields, and for each
// entry its stored fields, its wrapper, and where its content lies among the extracted files.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "dzlib/survey.h"
#include "kx/commands.h"
#include "kx/manifest.h"

namespace kx {

class ManifestWriter {
  public:
    ManifestWriter(const Options& options, const dz::Survey& survey, const std::string& directory);

    // Checks, before anything is written, that the manifest can be written: its folder holds
    // the output folder (so that every path in it stays inside its folder), it is neither the
    // container nor one of `outputs` (the names the run writes in the output folder), nothing
    // but a regular file or a link stands at its name, and an existing manifest is replaced
    // only with --force. False, having said why, otherwise. True when no manifest is asked for.
    bool prepare(const std::vector<std::string>& outputs);

    // Writes the manifest whole. `sizesOf(output, sizes, proven)` gives the unpacked size of each
    // piece of an output that was extracted or kept, whether its pieces were proven, and false
    // for an output that was neither (and then whether its pieces were proven all the same). False,
    // having said why, when it cannot be written; true when none is asked for.
    bool write(std::size_t outputs,
               const std::function<bool(std::size_t, std::vector<std::uint64_t>&, bool&)>& sizesOf);

  private:
    // The container as it is now: its path from the manifest's folder, its size, its main
    // header's stored digest.
    Origin originOf() const;

    const Options& options_;
    const dz::Survey& survey_;
    std::string directory_;
    std::string folder_;  // the manifest's folder
    std::string name_;    // its file name
    std::string prefix_;  // the output folder, relative to the manifest's, ending in '/' or ""
};

}  // namespace kx
