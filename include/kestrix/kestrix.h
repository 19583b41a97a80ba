// Kestrix: reading DZ firmware containers (a main header, sub-files packed with deflate, and an
// offset table at the end, each guarded by markers and MD5 digests), writing what they hold, and
// packing them again.
//
// What this library offers, for a container file:
//   - Container::open surveys it without unpacking anything: the main header and the offset
//     table with their verdicts, and every entry of the table (its sub-file header checked, its
//     stored name made a safe output name, its bytes checked against the other entries');
//   - the outputs the entries make: entries whose names give one file name are its pieces;
//   - proving an entry: inflating its packed data and comparing the MD5 of the content with the
//     one its header stores, whole in memory (Container::prove; Container::unpackTogether for
//     several, their digests taken together) or a piece at a time with flat
//     memory (EntryReader, which hands the content over as it goes), many a piece at a time
//     with their digests side by side (proveStreamingMany), or many entries at once on several
//     threads (proveAll);
//   - writing outputs into a folder, each whole and proven before its name appears
//     (writeOutputs), as `kx extract` does;
//   - packing a container from a manifest that `kx extract --manifest` wrote and the files it
//     names (pack), as `kx pack` does, by the same engine;
//   - a short stable code and an English text for every reason (reasonCode, reasonText).
// Only writeOutputs and pack write files; nothing prints, and only proveAll starts threads. Its
// only dependency is zlib (and libdeflate where the build found it).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrix {

// What a check or a proof found: ok, or the first thing wrong.
enum class Reason {
    ok,
    mainHeaderMarkers,       // the main header's markers are wrong
    mainHeaderDigest,        // the main header does not match its digest
    tableEndMarker,          // the offset table's end marker is wrong
    tableBeginMarkerOrSize,  // its begin marker or its size is wrong
    tableDigest,             // it does not match its digest
    tableEntryCount,         // it claims more entries than it holds
    subfileMarker,           // the sub-file header's marker is wrong
    subfileHeaderDigest,     // the sub-file header does not match its digest
    fileName,                // the stored name could leave an output folder or name a device
    overlap,                 // its bytes overlap an earlier entry's
    packedMemory,            // no memory for the packed data
    unpackedMemory,          // no memory for the content
    unpack,                  // the packed data is damaged, cut short, or unpacks past 4 GiB
    contentDigest,           // the content does not match its digest
    read,                    // the container could not be read
    write,                   // an output could not be written
};

// A stable code for scripts, such as "ok", "content-digest" or "memory" (both memory reasons).
const char* reasonCode(Reason reason);
// An English phrase for people, such as "the unpacked content does not match its MD5 digest".
const char* reasonText(Reason reason);

using Digest = std::array<std::uint8_t, 16>;

// The main header. Text fields hold their bytes up to the first zero within the field, in no
// particular character set.
struct MainHeader {
    Reason verdict = Reason::ok;
    std::uint32_t version = 0;
    std::uint32_t subfileCount = 0;  // as stored; the table says which entries there are
    std::uint64_t creationTime = 0;  // a Windows file time: 100 ns intervals since 1601 (UTC)
    std::string phoneModel;
    std::string internalName;
    std::string chip;
    std::string fileName;
    std::string raw;  // the header's 300 bytes as read (zeros past the end of a short file)
};

struct Table {
    Reason verdict = Reason::ok;
    // When the end marker is missing: whether the file looks cut short (its sub-files or the
    // table would lie past its end), as an interrupted download leaves it.
    bool cutShort = false;
};

// One entry of the offset table, as the survey saw it.
struct Entry {
    std::uint32_t index = 0;  // from 0, in table order
    std::uint32_t type = 0;
    std::uint32_t offset = 0;      // of its sub-file header
    std::uint32_t packedSize = 0;  // as its header stores it
    std::string name;              // the stored name's bytes, up to its first zero
    Digest digest{};               // the content's MD5 as its header stores it
    // The file it is a piece of, and that file's index in outputs(): none ("" and -1) when its
    // header or its name failed. An entry that overlaps an earlier one stays a piece.
    std::string outputName;
    int output = -1;
    std::uint32_t piece = 0;     // which piece of that file it is, from 1 (0 when none)
    std::uint32_t pieces = 0;    // how many pieces that file has (0 when none)
    Reason reason = Reason::ok;  // ok, subfileMarker, subfileHeaderDigest, fileName or overlap
};

// A file the entries make: its pieces (entry indexes) joined in table order.
struct Output {
    std::string name;
    std::vector<std::uint32_t> pieces;
};

// What proving an entry found: ok and the size of its content, or what failed.
struct Proof {
    Reason reason = Reason::ok;
    std::uint64_t unpackedSize = 0;  // 0 unless ok
};

// An entry's content whole in memory, as Container::unpack leaves it (empty until then).
class Content {
  public:
    Content();
    ~Content();
    Content(Content&&) noexcept;
    Content& operator=(Content&&) noexcept;

    const std::uint8_t* data() const;
    std::size_t size() const;

  private:
    friend class Container;
    struct State;
    std::unique_ptr<State> state_;
};

// What bytes of an entry's packed data that lie past the end of the container become: zeros
// (inflate and the digest judge them, as the kestrix and kx programs read them), or a read
// failure.
enum class PastEnd { zeros, readFault };

// An open container and its survey. A Container that is not open (or was moved from) is opened
// with open(); until then it has no entries.
class Container {
  public:
    Container();
    ~Container();
    Container(Container&&) noexcept;
    Container& operator=(Container&&) noexcept;

    // Opens the container at `path` and surveys it. False, with the system's reason in `error`,
    // when it cannot be opened; true otherwise, whatever the survey found. The file is held
    // for reading alone while the Container lives: another open of it meanwhile, by this
    // program or another, is refused ("another program holds it").
    bool open(const std::string& path, std::string& error);

    // What kind of failure the last open() met, for programs that act on it: none after one
    // that succeeded.
    enum class OpenFailure { none, notFound, denied, folder, notRegularFile, held, other };
    OpenFailure openFailure() const { return openFailure_; }

    // The container's length in bytes.
    std::uint64_t length() const;
    const MainHeader& mainHeader() const;
    const Table& table() const;
    // Empty when the table's verdict is not ok.
    const std::vector<Entry>& entries() const;
    const std::vector<Output>& outputs() const;
    // True when the main header, the table and every entry passed the survey.
    bool good() const;

    // Proves entry `index` with its packed data and content whole in memory: the content takes
    // as much memory as it is large, and fails for memory (unpackedMemory) where it outgrows
    // what the address space gives (on a 32-bit system). An entry whose survey found a fault is
    // not unpacked: its reason is the survey's. Throws std::out_of_range for an index past the
    // entries.
    Proof prove(std::uint32_t index, PastEnd pastEnd = PastEnd::zeros) const;

    // The same, keeping the content: `content` holds it when the proof is ok, and nothing
    // otherwise. A Content unpacked into again reuses its memory, pages and all.
    Proof unpack(std::uint32_t index, Content& content, PastEnd pastEnd = PastEnd::zeros) const;

    // unpack of each of `indexes` (as many as `contents` holds, at most eight) into the Content
    // beside it, their digests taken together in the lanes of the processor's vectors (two side
    // by side where it has none): in about the time of the longest alone. Returns their proofs
    // in order. Throws std::out_of_range for an index past the entries, std::invalid_argument
    // for more than eight or for fewer Contents than indexes.
    std::vector<Proof> unpackTogether(const std::vector<std::uint32_t>& indexes,
                                      std::vector<Content>& contents,
                                      PastEnd pastEnd = PastEnd::zeros) const;

  private:
    friend class EntryReader;
    friend struct LibraryAccess;  // the library's own sources (lib/state.h)
    struct State;
    const State& state() const;  // an empty one when not open
    // unpack without the digest: the content inflated into `content`, its proof ok unless that
    // failed.
    Proof inflate(std::uint32_t index, Content& content, PastEnd pastEnd) const;
    std::unique_ptr<State> state_;
    OpenFailure openFailure_ = OpenFailure::none;
};

// Reads an entry's content a piece at a time, proving it as it goes, in memory that stays the
// same whatever the content's size. It accepts exactly the packed data Container::prove accepts
// and gives the same bytes; the packed data is read only as far as its stream goes.
//
//     kestrix::EntryReader reader(container, index);
//     while (std::size_t n = reader.read(buffer, sizeof buffer)) use(buffer, n);
//     if (reader.proof().reason != kestrix::Reason::ok) ...  // the bytes handed over are not it
class EntryReader {
  public:
    // Entry `index` of `container`, which must outlive the reader and not be opened again
    // meanwhile. Throws std::out_of_range for an index past the entries. An entry whose survey
    // found a fault reads nothing.
    EntryReader(const Container& container, std::uint32_t index, PastEnd pastEnd = PastEnd::zeros);
    ~EntryReader();
    EntryReader(EntryReader&&) noexcept;
    EntryReader& operator=(EntryReader&&) noexcept;

    // Writes up to `size` bytes of the content at `buffer` and returns how many; 0 only once the
    // reader is done (or for a size of 0).
    std::size_t read(void* buffer, std::size_t size);

    bool done() const;
    // Once done: ok and the content's size when all of it came and matches its digest;
    // otherwise the reason (read, unpack, contentDigest, or the survey's). Before then, unpack.
    Proof proof() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Reads entry `index` of `container` to its end through an EntryReader and returns its proof.
Proof proveStreaming(const Container& container, std::uint32_t index,
                     PastEnd pastEnd = PastEnd::zeros);

// Proves the entries `indexes` of `container` as proveStreaming does, a piece at a time in flat
// memory on the calling thread, but several in hand at once so that their digests are taken side
// by side, in a vector register's lanes where the processor has them (WebAssembly's included):
// faster than one after another. Returns their proofs in the order of `indexes`; `each(position,
// proof)` is called as each entry ends, in the order they end (an entry whose survey found a
// fault first). Throws std::out_of_range for an index past the entries.
std::vector<Proof> proveStreamingMany(
    const Container& container, const std::vector<std::uint32_t>& indexes,
    const std::function<void(std::size_t position, const Proof& proof)>& each = {},
    PastEnd pastEnd = PastEnd::zeros);

// proveStreamingMany a step at a time, for a caller that has to return to its own loop between
// steps (a page's Worker, which reads the file ahead meanwhile). The constructor takes what
// proveStreamingMany takes, and calls `each` at once for the entries whose survey found a fault
// (it throws std::out_of_range for an index past the entries); each step goes on by `bytes` of
// content (rounded down to 256 KiB, at least that) for every entry in hand, and so reads about as
// many packed bytes of each (more only of a stream that makes less than it takes). The proofs
// are proveStreamingMany's.
class StepwiseProver {
  public:
    StepwiseProver(const Container& container, const std::vector<std::uint32_t>& indexes,
                   std::function<void(std::size_t position, const Proof& proof)> each = {},
                   PastEnd pastEnd = PastEnd::zeros);
    ~StepwiseProver();
    StepwiseProver(const StepwiseProver&) = delete;
    StepwiseProver& operator=(const StepwiseProver&) = delete;

    // Goes on; false once every entry has ended.
    bool step(std::uint64_t bytes);
    // Each entry's proof, in the order of `indexes`: Reason::read for those not ended yet.
    const std::vector<Proof>& proofs() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Proves the entries `indexes` of `container` on `jobs` threads at once (0: one for each
// processor the program may use), each whole in memory as Container::unpack does, the largest
// first; returns their proofs in the order of `indexes`. `each(position, proof, content)` is
// called as each entry ends, from the thread that proved it, one call at a time; `content`
// holds the entry's bytes when the proof is ok, and may be moved from. Where the system gives no
// threads, the entries are proven one after another on the calling thread.
std::vector<Proof> proveAll(const Container& container, const std::vector<std::uint32_t>& indexes,
                            unsigned jobs = 0,
                            const std::function<void(std::size_t position, const Proof& proof,
                                                     Content& content)>& each = {},
                            PastEnd pastEnd = PastEnd::zeros);

// How far a long call has gone: `done` of `total`, in the call's own measure (told with the
// call; `total` is fixed when it starts), and the entry in hand.
struct Progress {
    std::uint64_t done = 0;
    std::uint64_t total = 0;
    std::uint32_t entry = 0;
};
using ProgressCall = std::function<void(const Progress&)>;

// What a file that stands at an output's name makes of the output.
enum class Overwrite {
    refuse,  // the file is left as it is, and the output fails as existing (Outcome::exists)
    force,   // the file is replaced (a link is replaced, never followed; a folder never is)
    keep,    // the file is left as it is, and the output is skipped (Outcome::kept)
};

// How an output went.
enum class Outcome {
    extracted,  // written whole: every piece proven
    kept,       // a file stood at its name and was kept (Overwrite::keep)
    failed,     // a piece failed its checks or its proof, or the output could not be written
    exists,     // a file stood at its name and was left (Overwrite::refuse)
};

// "extracted", "kept", "failed" or "exists".
const char* outcomeCode(Outcome outcome);

// What became of one output.
struct Written {
    std::uint32_t output = 0;  // its index in Container::outputs()
    std::string name;          // its name in the folder
    Outcome outcome = Outcome::failed;
    // When it failed: why (write when it could not be written), and the entry concerned (the
    // first piece that failed, in table order); otherwise ok and -1.
    Reason reason = Reason::ok;
    int failedEntry = -1;
    // The system's reason for a failed write ("No space left on device"), or what stood at the
    // name ("it exists", "it is a folder") for an output kept or existing; otherwise empty.
    std::string detail;
    std::uint64_t size = 0;  // its size in bytes, when extracted
};

// Writes outputs of `container` (indexes into outputs(); all of them when `outputs` is empty)
// into `folder` ("" is the current folder; made with its parents when it is missing), one after
// another, and says what became of each, in the order asked. Each is written under a hidden
// temporary name (".kestrix-" and some letters) while its pieces are read through EntryReader,
// proven as they come, and is moved to its name only when it is whole and every piece is proven:
// a failed output leaves neither its name nor a temporary file, and what stood at the name
// stays as it was. An output whose piece failed the survey is not unpacked. An existing file at
// the name is handled as `overwrite` says (the container itself is never replaced); without
// Overwrite::force, a file made at the name while the output is written is left as it is too.
// The memory stays the same whatever the outputs' sizes. `progress`, when given, is told the
// packed bytes read of all the outputs to write. Throws std::out_of_range for an index past
// outputs(); what `progress` throws ends the call, the output in hand unwritten.
std::vector<Written> writeOutputs(const Container& container, const std::string& folder,
                                  const std::vector<std::uint32_t>& outputs = {},
                                  Overwrite overwrite = Overwrite::refuse,
                                  const ProgressCall& progress = {});

// Why a manifest was not packed, or a part of it, as `kx pack` says it.
struct PackRefusal {
    std::string subject;  // what it concerns: a path as given or opened, "entry 3", "manifest"
    std::string what;     // what is wrong, in English
    // For scripts: "manifest" (not a manifest, or one no container can hold), "original" (an
    // entry to copy that the original cannot give), "exists" (the target, which is not
    // replaced), "not-a-file", "refused", "memory", "changed" (a file read was written to
    // meanwhile), "cannot-write", "usage" (a level past 0 to 9) or "failed".
    std::string code;
};

// What a pack did.
struct PackResult {
    bool ok = false;
    std::string code;     // "ok", or the first refusal's code
    std::string message;  // every refusal, "SUBJECT: WHAT", one a line; empty when ok
    std::vector<PackRefusal> refusals;
    // When ok: the entries packed, how many of them were copied unchanged from the original, and
    // the container's size in bytes.
    std::uint32_t entries = 0;
    std::uint32_t copied = 0;
    std::uint64_t bytes = 0;
};

// Builds the container `target` from the manifest at `manifest` (written by `kx extract
// --manifest`) and the files it names, as `kx pack MANIFEST -o TARGET --level LEVEL [--base
// BASE]` does, with the same rules and refusals (the README's "Changing an image and packing it
// again"): every entry whose piece is unchanged, or that names no file, is copied from the
// original container (`base`, or the one the manifest records); a changed piece is compressed
// again at `level` (0 to 9) around its change. Everything is checked before anything is
// written; the target is written under a temporary name beside it and moved into place whole,
// and an existing target is never replaced. The entries are packed one after another. `progress`,
// when given, is told the pieces' bytes digested and compressed (half each) and the copied
// entries' packed bytes. What `progress` throws ends the call, the target untouched.
PackResult pack(const std::string& manifest, const std::string& target, int level = 6,
                const std::optional<std::string>& base = std::nullopt,
                const ProgressCall& progress = {});

}  // namespace kestrix
