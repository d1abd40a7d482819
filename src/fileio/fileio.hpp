// Loading files and writing the archive: what is read, what is checked, what is written. The
// platform itself is reached through os_file.hpp; nothing here prints, every failure is thrown.
#pragma once

#include "bytes.hpp"
#include "os_file.hpp"
#include "os_process.hpp"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace dyeloom {

// The whole contents of one file, held in memory.
using ByteBuffer = std::vector<std::uint8_t>;

// A file could not be opened for reading. Its text is "fatal error"; the run prints the
// can't-open line naming path() before it.
class CantOpenError : public std::runtime_error {
public:
    explicit CantOpenError(std::string path)
        : std::runtime_error("fatal error"), path_(std::move(path)) {}
    [[nodiscard]] const std::string& path() const noexcept { return path_; }

private:
    std::string path_;
};

// Read-only contents of a file: memory-mapped where the system allows it, read into a
// ByteBuffer where it does not. Callers see one contiguous span either way.
class FileView {
public:
    // A sparse mapped view keeps its file open, for copy().
    struct Mapped {
        os::File file;
        os::MappedRegion region;
    };

    explicit FileView(ByteBuffer bytes) : contents_(std::move(bytes)) {}
    explicit FileView(Mapped mapped) : contents_(std::move(mapped)) {}

    // A mapped view reads the file's own pages. If another program truncates the file while
    // they are read, the part past the new end reads as zeros instead of ending the process
    // with SIGBUS, and so does a page the system fails to read: after reading, check with
    // requireIntact() before trusting what was read.
    [[nodiscard]] Bytes bytes() const noexcept;
    [[nodiscard]] bool damaged() const noexcept;
    // Starts reading the parts of bytes() that will be read soon (a mapped view only).
    void prefetch(std::span<const Bytes> parts) const noexcept;
    // Whether the file will be read in order from now on, or here and there (a mapped view
    // only; see os::File::expectInOrder).
    void expectInOrder(bool inOrder) const noexcept;
    // How many of `parts` (spans of bytes()) are in memory already: all of them for a view read
    // into memory, nothing where the system does not say.
    [[nodiscard]] std::optional<std::size_t> countResident(std::span<const Bytes> parts) const;
    // Copies `part` of bytes() into `into` with a positioned read of the file, which costs
    // less than touching a page of the mapping the first time. False if it cannot (not a
    // mapped view, or the read fails or comes short): the caller then reads `part` itself.
    bool copy(Bytes part, MutableBytes into) const noexcept;

private:
    std::variant<ByteBuffer, Mapped> contents_;
};

// Loads the file at `path` whole. Throws CantOpenError when it cannot be opened, and a
// std::runtime_error naming the file and the system's reason for every other failure.
ByteBuffer readFile(const std::string& path);

// How a viewed file will be read: all of it, or here and there (then only the parts announced
// through prefetch() are read ahead).
enum class ReadPattern { Whole, Sparse };

// A file opened to be loaded, whose size and identity are known before any of it is read.
struct LoadableFile {
    std::string path;
    os::File file;
    std::uint64_t size = 0;
    os::FileIdentity identity;
};

// Opens the file at `path` to be loaded. Throws as readFile does when it cannot be opened or is
// not a regular file.
LoadableFile openToLoad(const std::string& path);

// Reads an opened file whole, with the checks and messages of readFile: what is read is the file's
// bytes as they were at that moment, whatever happens to the file afterwards.
ByteBuffer readOpened(const LoadableFile& opened);

// Like readFile, but maps the file instead of copying it when it can, so that a large archive
// costs neither a heap buffer nor a pass over every byte before the search starts. See
// FileView::bytes() for what a truncation by another program does to a mapped view.
FileView viewFile(LoadableFile opened, ReadPattern pattern);

// Throws, naming the file at `path`, if part of `view` could not be read after all (see
// FileView::bytes()): what was read from it then is not the file's content.
void requireIntact(const FileView& view, const std::string& path);

// What a run did about the journal an interrupted patch had left beside the archive.
struct Recovery {
    enum class Outcome {
        NoJournal,
        Restored,          // its spans, from firstByte to lastByte, are as before that patch
        RemovedIncomplete, // the patch was interrupted before it changed the archive
        RemovedDone,       // the patch had completed; only its journal was left
    };
    Outcome outcome = Outcome::NoJournal;
    std::string journalPath;
    std::uint64_t firstByte = 0;
    std::uint64_t lastByte = 0;
    std::size_t spans = 0;
};

// Deals with the journal beside the archive at `path`, if there is one, under the archive's
// lock: restores the bytes it keeps, or removes it when it has nothing to restore. Stop
// signals are held from the moment there is a journal (the caller releases them). Throws when
// the journal cannot be applied; the archive and the journal are then left as they were.
Recovery recoverArchive(const std::string& path, os::StopSignals& signals);

// One span of a patch: where it lies in the archive, and how long it is.
struct PatchSpan {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// The bytes of a patch's spans, asked for a piece at a time as the spans are journalled and
// written, so that a patch of any size holds only a piece in memory. The pieces of each span
// arrive in order from its start, the spans in the patch's order.
class PatchBytes {
public:
    virtual ~PatchBytes() = default;
    // Called under the archive's lock before anything is journalled. Throws, with nothing
    // written, when a replacement cannot be read as it was when it was searched.
    virtual void prepare() {}
    // Whether `piece`, the archive's bytes `at` bytes into span `span`, are those the search
    // found there. The answer may wait for the span's last piece.
    virtual bool holdsExpected(std::size_t span, std::uint64_t at, Bytes piece) = 0;
    // Fills `into` with the replacement's bytes `at` bytes into span `span`. Throws when they
    // are not those it held when it was searched (its last piece tells at the latest).
    virtual void readReplacement(std::size_t span, std::uint64_t at, MutableBytes into) = 0;
};

// Overwrites every span of `spans` (in the archive's order, apart from one another, none empty)
// in place, as one patch: the file is never truncated, keeps its length, inode, links and
// permissions. Under an exclusive lock it first recovers from any journal left beside the
// archive, then copies every span's bytes into one new journal, checking that they still hold
// what `bytes` expects (another program may have changed the file since it was searched),
// flushes the journal, writes, flushes the archive and retires the journal. It returns only once
// all the new bytes are on the disk and the journal is gone.
//
// Stop signals are held throughout (the caller releases them). One that arrives before the
// new bytes are flushed ends the attempt: what was written is put back from the journal and
// the call throws. A write, a flush or a read of a replacement that fails does the same. Every
// message names the file, the reason and the state the archive is left in; where putting the
// old bytes back fails too, the journal stays, and the next run on the archive writes them back.
Recovery writeArchive(const std::string& path, std::span<const PatchSpan> spans, PatchBytes& bytes,
                      os::StopSignals& signals);

// One span of a patch held in memory: the bytes the archive holds at `offset` when it is
// searched, and the bytes that replace them, of the same size.
struct SpanPatch {
    std::uint64_t offset = 0;
    Bytes expected;
    Bytes replacement;
};

// writeArchive for spans whose bytes are all in memory.
Recovery writeArchive(const std::string& path, std::span<const SpanPatch> spans,
                      os::StopSignals& signals);

} // namespace dyeloom
