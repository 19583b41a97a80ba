// The codes and phrases of the faults.
#include "dzlib/reasons.h"

#include "dzlib/fault.h"

namespace dz {
namespace {

struct Reason {
    const char* code;
    const char* text;
};

Reason reasonOf(Fault fault) {
    switch (fault) {
        case Fault::none:
            return {"ok", "ok"};
        case Fault::mainHeaderMarkers:
            return {"main-header-markers", "the main header's markers are wrong"};
        case Fault::mainHeaderDigest:
            return {"main-header-digest", "the main header does not match its MD5 digest"};
        case Fault::tableEndMarker:
            return {"table-end-marker", "the offset table's end marker is wrong"};
        case Fault::tableBeginMarkerOrSize:
            return {"table-begin-marker-or-size",
                    "the offset table's begin marker or size is wrong"};
        case Fault::tableDigest:
            return {"table-digest", "the offset table does not match its MD5 digest"};
        case Fault::tableEntryCount:
            return {"table-entry-count", "the offset table claims more entries than it holds"};
        case Fault::subfileMarker:
            return {"subfile-marker", "the sub-file header's marker is wrong"};
        case Fault::subfileHeaderDigest:
            return {"subfile-header-digest", "the sub-file header does not match its MD5 digest"};
        case Fault::fileName:
            return {"file-name", "the stored name could leave the output folder or name a device"};
        case Fault::regionOverlap:
            return {"overlap", "its bytes overlap an earlier sub-file's"};
        case Fault::packedMemory:
        case Fault::unpackedMemory:
            return {"memory", "there is not enough memory to unpack it"};
        case Fault::unpack:
            return {"unpack", "the packed data is damaged, cut short or too large"};
        case Fault::contentDigest:
            return {"content-digest", "the unpacked content does not match its MD5 digest"};
        case Fault::read:
            return {"read", "it could not be read"};
        case Fault::write:
            return {"write", "it could not be written"};
    }
    return {"unknown", "unknown fault"};
}

}  // namespace

const char* reasonCode(Fault fault) {
    return reasonOf(fault).code;
}

const char* reasonText(Fault fault) {
    return reasonOf(fault).text;
}

}  // namespace dz
