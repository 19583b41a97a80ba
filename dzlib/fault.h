// What the library found wrong with a container, named after the check that found it.
#pragma once

namespace dz {

enum class Fault {
    none,
    // The main header at the start of the container.
    mainHeaderMarkers,
    mainHeaderDigest,
    // The offset table at its end.
    tableEndMarker,
    tableBeginMarkerOrSize,
    tableDigest,
    tableEntryCount,  // the count claims more entries than the body holds
    // A sub-file.
    subfileMarker,
    subfileHeaderDigest,
    fileName,       // a stored name that could leave the output folder or name a device
    regionOverlap,  // its header, digest and packed data overlap an earlier sub-file's
    packedMemory,   // no memory for the packed data
    unpackedMemory,
    unpack,         // the deflate stream or its wrapper is damaged, cut, or too large
    contentDigest,  // the unpacked bytes do not match their digest
    // Reading the container, or writing an output.
    read,
    write,
};

}  // namespace dz
