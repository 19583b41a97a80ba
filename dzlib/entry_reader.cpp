// An entry's content, read and proven a piece at a time.
#include "dzlib/entry_reader.h"

#include "dzlib/unpack.h"

namespace dz {

EntryReader::EntryReader(const Container& container, const PlannedEntry& entry, PastEnd pastEnd)
    : inflater_(container, entry, pastEnd) {
    digest::md5Start(md5_);
}

std::size_t EntryReader::read(std::uint8_t* out, std::size_t room) {
    if (inflater_.done()) return 0;
    const std::size_t produced = inflater_.read(out, room);
    digest::md5Add(md5_, out, produced);
    if (inflater_.done()) {
        fault_ = inflater_.fault();
        if (fault_ == Fault::none &&
            !contentMatches(inflater_.entry().header, digest::md5Finish(md5_))) {
            fault_ = Fault::contentDigest;
        }
    }
    return produced;
}

}  // namespace dz
