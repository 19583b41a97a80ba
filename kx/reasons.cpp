// The codes and phrases of the faults.
#include "kx/reasons.h"

#include "dzlib/fault.h"

namespace kx {
namespace {

struct Reason {
    const char* code;
    const char* text;
};

Reason reasonOf(dz::Fault fault) {
    switch (fault) {
        case dz::Fault::none:
            return {"ok", "ok"};
        case dz::Fault::mainHeaderMarkers:
            return {"main-header-markers", "the main header's markers are wrong"};
        case dz::Fault::mainHeaderDigest:
            return {"main-header-digest", "the main header does not match its MD5 digest"};
        case dz::Fault::tableEndMarker:
            return {"table-end-marker", "the offset table's end marker is wrong"};
        case dz::Fault::tableBeginMarkerOrSize:
            return {"table-begin-marker-or-size",
                    "the offset table's begin marker or size is wrong"};
        case dz::Fault::tableDigest:
            return {"table-digest", "the offset table does not match its MD5 digest"};
        case dz::Fault::tableEntryCount:
            return {"table-entry-count", "the offset table claims more entries than it holds"};
        case dz::Fault::subfileMarker:
            return {"subfile-marker", "the sub-file header's marker is wrong"};
        case dz::Fault::subfileHeaderDigest:
            return {"subfile-header-digest", "the sub-file header does not match its MD5 digest"};
        case dz::Fault::fileName:
            return {"file-name", "the stored name could leave the output folder or name a device"};
        case dz::Fault::regionOverlap:
            return {"overlap", "its bytes overlap an earlier sub-file's"};
        case dz::Fault::packedMemory:
        case dz::Fault::unpackedMemory:
            return {"memory", "there is not enough memory to unpack it"};
        case dz::Fault::unpack:
            return {"unpack", "the packed data is damaged, cut short or too large"};
        case dz::Fault::contentDigest:
            return {"content-digest", "the unpacked content does not match its MD5 digest"};
        case dz::Fault::read:
            return {"read", "it could not be read"};
        case dz::Fault::write:
            return {"write", "it could not be written"};
    }
    return {"unknown", "unknown fault"};
}

}  // namespace

const char* reasonCode(dz::Fault fault) {
    return reasonOf(fault).code;
}

const char* reasonText(dz::Fault fault) {
    return reasonOf(fault).text;
}

}  // namespace kx
