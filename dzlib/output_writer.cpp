// Outputs written whole: a temporary file, then one move to the final name.
#include "dzlib/output_writer.h"

#include <cstring>

#include "platform/platform.h"

namespace dz {

bool OutputFolder::open(const char* path, const char* temporaryStem) {
    folder_ = platform::Directory::open(path);
    stem_ = temporaryStem;
    return folder_.isOpen();
}

PendingOutput OutputFolder::begin(const std::string& name, const Container* guarded) {
    PendingOutput output;
    // A folder at the final name could never be replaced: fail now, before any work.
    if (!isOpen()) return output;
    if (folder_.holdsFolder(name.c_str())) {
        platform::setLastError(platform::Refusal::folder);
        return output;
    }
    if (guarded != nullptr && guarded->isAt(folder_, name.c_str())) {
        platform::setLastError(platform::Refusal::beingRead);
        return output;
    }
    output.file_ = folder_.createTemporary(stem_.c_str(), output.temporaryName_);
    if (!output.file_.isOpen()) return output;
    output.folder_ = &folder_;
    output.finalName_ = name;
    return output;
}

PendingOutput& PendingOutput::operator=(PendingOutput&& other) noexcept {
    if (this != &other) {
        discard();
        folder_ = other.folder_;
        file_ = static_cast<platform::File&&>(other.file_);
        end_ = other.end_;
        std::memcpy(temporaryName_, other.temporaryName_, sizeof temporaryName_);
        finalName_ = std::move(other.finalName_);
        nameTaken_ = other.nameTaken_;
        other.folder_ = nullptr;
    }
    return *this;
}

bool PendingOutput::append(const void* bytes, std::size_t length) {
    if (writeAt(end_, bytes, length)) {
        end_ += length;
        return true;
    }
    discard();
    return false;
}

bool PendingOutput::writeAt(std::uint64_t offset, const void* bytes, std::size_t length) {
    if (!isOpen()) return false;
    file_.reserve(offset, length);
    return file_.writeAt(offset, bytes, length);
}

bool PendingOutput::commit(Existing existing) {
    nameTaken_ = false;
    if (!isOpen()) return false;
    // A close that fails means the data may not be stored: never move such a file into place.
    const bool moved =
        file_.close() && (existing == Existing::replace
                              ? folder_->replace(temporaryName_, finalName_.c_str())
                              : folder_->moveNew(temporaryName_, finalName_.c_str(), nameTaken_));
    if (!moved) {
        discard();
        return false;
    }
    folder_->keep(temporaryName_);
    folder_ = nullptr;
    return true;
}

void PendingOutput::discard() {
    if (folder_ == nullptr) return;
    platform::LastErrorKept reason;
    file_.close();
    folder_->remove(temporaryName_);
    folder_ = nullptr;
}

}  // namespace dz
