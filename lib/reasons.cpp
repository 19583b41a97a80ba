// The public reasons: dzlib's faults under the public API's names, with their codes and texts.
#include "dzlib/reasons.h"

#include "dzlib/fault.h"
#include "kestrix/kestrix.h"
#include "lib/state.h"

namespace kestrix {
namespace {

// Each reason stands where its fault does, so that one is the other.
constexpr bool sameAs(Reason reason, dz::Fault fault) {
    return static_cast<int>(reason) == static_cast<int>(fault);
}
static_assert(sameAs(Reason::ok, dz::Fault::none) &&
                  sameAs(Reason::mainHeaderMarkers, dz::Fault::mainHeaderMarkers) &&
                  sameAs(Reason::mainHeaderDigest, dz::Fault::mainHeaderDigest) &&
                  sameAs(Reason::tableEndMarker, dz::Fault::tableEndMarker) &&
                  sameAs(Reason::tableBeginMarkerOrSize, dz::Fault::tableBeginMarkerOrSize) &&
                  sameAs(Reason::tableDigest, dz::Fault::tableDigest) &&
                  sameAs(Reason::tableEntryCount, dz::Fault::tableEntryCount) &&
                  sameAs(Reason::subfileMarker, dz::Fault::subfileMarker) &&
                  sameAs(Reason::subfileHeaderDigest, dz::Fault::subfileHeaderDigest) &&
                  sameAs(Reason::fileName, dz::Fault::fileName) &&
                  sameAs(Reason::overlap, dz::Fault::regionOverlap) &&
                  sameAs(Reason::packedMemory, dz::Fault::packedMemory) &&
                  sameAs(Reason::unpackedMemory, dz::Fault::unpackedMemory) &&
                  sameAs(Reason::unpack, dz::Fault::unpack) &&
                  sameAs(Reason::contentDigest, dz::Fault::contentDigest) &&
                  sameAs(Reason::read, dz::Fault::read) && sameAs(Reason::write, dz::Fault::write),
              "the public reasons stand where dzlib's faults do");

dz::Fault faultOf(Reason reason) {
    return static_cast<dz::Fault>(reason);
}

}  // namespace

Reason reasonOf(dz::Fault fault) {
    return static_cast<Reason>(fault);
}

const char* reasonCode(Reason reason) {
    return dz::reasonCode(faultOf(reason));
}

const char* reasonText(Reason reason) {
    return dz::reasonText(faultOf(reason));
}

}  // namespace kestrix
