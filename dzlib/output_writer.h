// The whole-file output writer. An output is written under a hidden temporary name in its
// folder and moved to its final name only when it is whole, so that the final name holds
// either what it held before or the whole new content, whatever happens: a failed write, a
// full disk, an interrupt (the temporary file is removed), or a link, FIFO or other special
// file at the final name (replaced, never written through or followed).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "dzlib/container.h"
#include "platform/platform.h"

namespace dz {

class PendingOutput;

// What a commit does with a file that stands at the final name by then.
enum class Existing {
    replace,  // replaced (a folder never is)
    refuse,   // left as it is: the output is discarded and PendingOutput::nameTaken() says so
};

// The folder outputs are written to, held open for the writer's life: what later stands at its
// path does not change where the outputs go.
class OutputFolder {
  public:
    // Opens the existing folder at `path` ("" is the current folder); temporary files are named
    // `temporaryStem` and some random letters (".kestrix-" gives ".kestrix-3fk9a0qz").
    bool open(const char* path, const char* temporaryStem);
    bool isOpen() const { return folder_.isOpen(); }
    const platform::Directory& directory() const { return folder_; }

    // Starts the output `name` in an empty temporary file. Fails (the result is not open) when
    // the folder is not open, a folder stands at `name`, `name` is the file `guarded` (such as
    // the open container), or no temporary file can be made; platform::lastErrorText() says why.
    PendingOutput begin(const std::string& name, const Container* guarded = nullptr);

  private:
    platform::Directory folder_;
    std::string stem_;
};

// One output being written: open until it is committed or discarded; discarded when it goes
// out of scope uncommitted. It must not outlive its folder.
class PendingOutput {
  public:
    PendingOutput() = default;
    PendingOutput(PendingOutput&& other) noexcept { *this = static_cast<PendingOutput&&>(other); }
    PendingOutput& operator=(PendingOutput&& other) noexcept;
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;
    ~PendingOutput() { discard(); }

    bool isOpen() const { return file_.isOpen(); }
    // Adds bytes at the end; false when they could not all be written (the output is then
    // discarded).
    bool append(const void* bytes, std::size_t length);
    // Writes bytes at `offset`, so that several threads may fill an output's places side by
    // side; false when they could not all be written (the caller then discards the output).
    bool writeAt(std::uint64_t offset, const void* bytes, std::size_t length);
    // Moves the whole output to its final name; false when it could not be stored or moved (the
    // output is then discarded and the final name keeps what it held). With Existing::refuse
    // the move is made only where nothing stands at the final name, checked in the move itself,
    // so that a file made there meanwhile by another program is never replaced.
    bool commit(Existing existing = Existing::replace);
    // True when the last commit refused because something stood at the final name.
    bool nameTaken() const { return nameTaken_; }
    // Removes the temporary file; the final name keeps what it held.
    void discard();

  private:
    friend class OutputFolder;
    platform::Directory* folder_ = nullptr;
    platform::File file_;
    std::uint64_t end_ = 0;  // where append writes
    char temporaryName_[platform::Directory::kTemporaryNameSize] = {};
    std::string finalName_;
    bool nameTaken_ = false;
};

}  // namespace dz
