#include "journal.hpp"

#include "checksum.hpp"
#include "little_endian.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace dyeloom {
namespace {

constexpr char magic[] = "DYELOOM-JOURNAL"; // 15 characters, no terminator in the file
constexpr std::size_t magicBytes = sizeof magic - 1;
constexpr std::size_t stateAt = magicBytes;
constexpr std::uint8_t activeState = 'A';
constexpr std::uint8_t doneState = 'D';
constexpr std::uint32_t oneSpanVersion = 1; // read, never written
constexpr std::uint32_t version = 2;
constexpr std::uint32_t superVersion = 3; // version 2 with a super-journal
constexpr std::uint32_t patchVersion = 4; // version 3 with the patch
constexpr std::size_t patchBytes = std::tuple_size_v<PatchId>;
// A super-journal's name longer than this is not one this tool wrote.
constexpr std::uint32_t maxSuperJournalBytes = 4096;
constexpr std::size_t headerBytes = 64;
constexpr std::size_t spanEntryBytes = 24;
// Where each field of the header and of a span's entry stands (see journal.hpp).
namespace field {
constexpr std::size_t version = 16;
constexpr std::size_t archiveDevice = 20;
constexpr std::size_t archiveFile = 28;
constexpr std::size_t archiveSize = 36;
constexpr std::size_t spanCount = 44;
constexpr std::size_t length = 52;
constexpr std::size_t superJournalBytes = 60;
// Version 1 keeps its one span in the header.
constexpr std::size_t oneSpanOffset = 44;
constexpr std::size_t oneSpanSurroundings = 60;
// In a span's entry.
constexpr std::size_t spanOffset = 0;
constexpr std::size_t spanLength = 8;
constexpr std::size_t spanSurroundings = 16;
} // namespace field
constexpr std::size_t checksumBytes = 4;
// The surroundings checked on each side of the journalled bytes.
constexpr std::uint64_t surroundingBytes = 4096;

std::vector<std::uint8_t> encode(const JournalHeader& header) {
    const std::size_t tableEnd = headerBytes + spanEntryBytes * header.spans.size();
    // A patch without a number is written as earlier releases wrote it, in version 3.
    const bool numbered = isNumbered(header.patch);
    const std::size_t patch = numbered ? patchBytes : 0;
    const std::size_t superBytes =
        header.superJournal.empty() ? 0 : patch + header.superJournal.size();
    std::vector<std::uint8_t> bytes(tableEnd + superBytes);
    std::memcpy(bytes.data(), magic, magicBytes);
    bytes[stateAt] = activeState;
    putLittleEndian(&bytes[field::version],
                    superBytes == 0 ? version
                    : numbered      ? patchVersion
                                    : superVersion,
                    4);
    putLittleEndian(&bytes[field::superJournalBytes], superBytes, 4);
    if (superBytes != 0) {
        std::memcpy(bytes.data() + tableEnd, header.patch.data(), patch);
        std::memcpy(bytes.data() + tableEnd + patch, header.superJournal.data(),
                    header.superJournal.size());
    }
    putLittleEndian(&bytes[field::archiveDevice], header.archive.device, 8);
    putLittleEndian(&bytes[field::archiveFile], header.archive.file, 8);
    putLittleEndian(&bytes[field::archiveSize], header.archiveSize, 8);
    putLittleEndian(&bytes[field::spanCount], header.spans.size(), 8);
    putLittleEndian(&bytes[field::length], header.length(), 8);
    std::uint8_t* entry = &bytes[headerBytes];
    for (const JournalSpan& span : header.spans) {
        putLittleEndian(entry + field::spanOffset, span.offset, 8);
        putLittleEndian(entry + field::spanLength, span.length, 8);
        putLittleEndian(entry + field::spanSurroundings, span.surroundings, 4);
        entry += spanEntryBytes;
    }
    return bytes;
}

// The header without its spans.
JournalHeader decodeArchive(const std::uint8_t* bytes) {
    JournalHeader header;
    header.archive = {getLittleEndian(&bytes[field::archiveDevice], 8),
                      getLittleEndian(&bytes[field::archiveFile], 8)};
    header.archiveSize = getLittleEndian(&bytes[field::archiveSize], 8);
    return header;
}

JournalSpan decodeSpan(const std::uint8_t* entry) {
    return {getLittleEndian(entry + field::spanOffset, 8),
            getLittleEndian(entry + field::spanLength, 8),
            static_cast<std::uint32_t>(getLittleEndian(entry + field::spanSurroundings, 4))};
}

// Spans in the archive's order and apart, adding up to `length`: what a journal of this tool
// holds. Anything else is not one.
bool wellFormed(const std::vector<JournalSpan>& spans, std::uint64_t length) {
    std::uint64_t total = 0, end = 0;
    for (const JournalSpan& span : spans) {
        if (span.length == 0 || span.offset < end || span.length > ~span.offset ||
            span.length > ~total)
            return false;
        end = span.offset + span.length;
        total += span.length;
    }
    return !spans.empty() && total == length;
}

// Reads exactly into.size() bytes at `offset`; a file that ends first is an I/O error.
std::error_code readExactly(const os::File& file, std::uint64_t offset, MutableBytes into) {
    std::size_t got = 0;
    if (const auto error = file.readAt(offset, into, got))
        return error;
    return got == into.size() ? std::error_code{} : std::make_error_code(std::errc::io_error);
}

std::error_code writeExactly(const os::File& file, std::uint64_t offset, Bytes from) {
    std::size_t put = 0;
    return file.writeAt(offset, from, put);
}

// Where a valid journal's bytes begin, from its head: after the span table.
std::uint64_t dataStartOf(Bytes head) {
    if (getLittleEndian(&head[field::version], 4) == oneSpanVersion)
        return headerBytes;
    const std::uint64_t spans = getLittleEndian(&head[field::spanCount], 8);
    const auto headVersion = getLittleEndian(&head[field::version], 4);
    const std::uint64_t superJournal = headVersion == superVersion || headVersion == patchVersion
                                           ? getLittleEndian(&head[field::superJournalBytes], 4)
                                           : 0;
    if (headVersion == patchVersion && superJournal < patchBytes)
        return ~std::uint64_t{0};
    return spans > (std::uint64_t{1} << 40) || superJournal > maxSuperJournalBytes
               ? ~std::uint64_t{0}
               : headerBytes + spanEntryBytes * spans + superJournal;
}

std::uint64_t journalledLength(Bytes head) {
    return getLittleEndian(&head[field::length], 8);
}

// The state of a journal whose first `size` bytes (at most headerBytes) are `head`, before its
// checksum is looked at.
Journal::State stateOfHead(Bytes head, std::uint64_t fileSize) {
    // A file system may record a file's length before its data: a crash before the journal's
    // first flush can leave zeros where its header was to be. The archive was not touched yet.
    if (std::all_of(head.begin(), head.end(), [](std::uint8_t byte) { return byte == 0; }))
        return Journal::State::Incomplete;
    const std::size_t compared = std::min(head.size(), magicBytes);
    if (std::memcmp(head.data(), magic, compared) != 0)
        return Journal::State::Unknown;
    if (head.size() <= stateAt)
        return Journal::State::Incomplete; // cut short inside the magic
    if (head[stateAt] == doneState)
        return Journal::State::Done;
    if (head[stateAt] != activeState)
        return Journal::State::Unknown;
    if (head.size() < headerBytes)
        return Journal::State::Incomplete;
    const auto headVersion = getLittleEndian(&head[field::version], 4);
    if (headVersion != version && headVersion != superVersion && headVersion != patchVersion &&
        headVersion != oneSpanVersion)
        return Journal::State::Unknown;
    const std::uint64_t dataAt = dataStartOf(head), length = journalledLength(head);
    if (dataAt > fileSize || fileSize - dataAt < checksumBytes ||
        length != fileSize - dataAt - checksumBytes)
        return Journal::State::Incomplete;
    return Journal::State::Valid; // so far: the checksum decides
}

} // namespace

std::uint64_t JournalHeader::length() const noexcept {
    std::uint64_t total = 0;
    for (const JournalSpan& span : spans)
        total += span.length;
    return total;
}

std::error_code surroundingsOf(const os::File& archive, std::uint64_t archiveSize,
                               std::span<const JournalSpan> spans, std::size_t which,
                               std::uint32_t& checksum) {
    // Bytes of another span may change with the patch: the surroundings stop short of them.
    const JournalSpan& span = spans[which];
    const std::uint64_t previousEnd =
        which == 0 ? 0 : spans[which - 1].offset + spans[which - 1].length;
    const std::uint64_t end = span.offset + span.length;
    const std::uint64_t nextStart =
        which + 1 < spans.size() ? spans[which + 1].offset : archiveSize;
    const std::uint64_t before = std::min(span.offset - previousEnd, surroundingBytes);
    const std::uint64_t after = end < nextStart ? std::min(nextStart - end, surroundingBytes) : 0;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(before + after));
    const MutableBytes all(bytes);
    if (const auto error = readExactly(archive, span.offset - before, all.first(before)))
        return error;
    if (const auto error = readExactly(archive, end, all.subspan(before)))
        return error;
    checksum = crc32c(bytes);
    return {};
}

std::error_code Journal::create(const JournalLocation& where, const JournalHeader& header,
                                Journal& journal) {
    os::File file;
    if (const auto error = os::File::open(where.path, os::File::Access::CreateNew, file))
        return error;
    journal.where_ = where;
    journal.file_ = std::move(file);
    journal.header_ = header;
    journal.appended_ = 0;
    const auto head = encode(header);
    journal.dataAt_ = head.size();
    journal.checksum_ = crc32c(Bytes(head).subspan(stateAt + 1));
    return writeExactly(journal.file_, 0, head);
}

std::error_code Journal::open(const JournalLocation& where, Journal& journal,
                              os::FileStatus& status) {
    os::File file;
    if (const auto error =
            os::File::open(where.path, os::File::Access::Read, file, os::File::LastLink::Refuse))
        return error;
    if (const auto error = file.status(status))
        return error;
    journal.where_ = where;
    journal.file_ = std::move(file);
    return {};
}

std::error_code Journal::readPairing(std::string& superJournal, PatchId& patch) const {
    superJournal.clear();
    patch = {};
    std::array<std::uint8_t, headerBytes> head{};
    os::FileStatus status;
    if (const auto error = file_.status(status))
        return error;
    if (status.size < headerBytes)
        return {};
    if (const auto error = readExactly(file_, 0, head))
        return error;
    const auto headVersion = getLittleEndian(&head[field::version], 4);
    const std::uint64_t dataAt = dataStartOf(head);
    const std::uint64_t bytes = getLittleEndian(&head[field::superJournalBytes], 4);
    if (std::memcmp(head.data(), magic, magicBytes) != 0 ||
        (headVersion != superVersion && headVersion != patchVersion) || dataAt > status.size ||
        bytes > dataAt)
        return {};
    std::vector<std::uint8_t> pairing(static_cast<std::size_t>(bytes));
    if (const auto error = readExactly(file_, dataAt - bytes, pairing))
        return error;
    auto name = pairing.begin();
    if (headVersion == patchVersion) {
        std::copy_n(name, patchBytes, patch.begin());
        name += static_cast<std::ptrdiff_t>(patchBytes);
    }
    superJournal.assign(name, pairing.end());
    return {};
}

std::error_code Journal::check(State& state) {
    os::FileStatus status;
    if (const auto error = file_.status(status))
        return error;
    std::array<std::uint8_t, headerBytes> head{};
    const auto headSize =
        static_cast<std::size_t>(std::min<std::uint64_t>(status.size, headerBytes));
    if (const auto error = readExactly(file_, 0, MutableBytes(head).first(headSize)))
        return error;
    state = stateOfHead(Bytes(head).first(headSize), status.size);
    if (state != State::Valid)
        return {};

    const Bytes fixed(head);
    header_ = decodeArchive(head.data());
    dataAt_ = dataStartOf(fixed);
    const std::uint64_t length = journalledLength(fixed);
    std::uint32_t checksum = crc32c(fixed.subspan(stateAt + 1));
    if (getLittleEndian(&head[field::version], 4) == oneSpanVersion) {
        header_.spans = {
            {getLittleEndian(&head[field::oneSpanOffset], 8), length,
             static_cast<std::uint32_t>(getLittleEndian(&head[field::oneSpanSurroundings], 4))}};
    } else {
        // The size check bounds the table by the file's size.
        std::vector<std::uint8_t> table(static_cast<std::size_t>(dataAt_ - headerBytes));
        if (const auto error = readExactly(file_, headerBytes, table))
            return error;
        checksum = crc32c(table, checksum);
        const auto spans = static_cast<std::size_t>(getLittleEndian(&head[field::spanCount], 8));
        for (std::size_t at = 0; at < spans * spanEntryBytes; at += spanEntryBytes)
            header_.spans.push_back(decodeSpan(&table[at]));
        auto rest = table.begin() + static_cast<std::ptrdiff_t>(spans * spanEntryBytes);
        if (getLittleEndian(&head[field::version], 4) == patchVersion) {
            std::copy_n(rest, patchBytes, header_.patch.begin());
            rest += static_cast<std::ptrdiff_t>(patchBytes);
        }
        header_.superJournal.assign(rest, table.end());
    }
    std::vector<std::uint8_t> piece(
        static_cast<std::size_t>(std::min<std::uint64_t>(length, journalPieceBytes)));
    for (std::uint64_t done = 0; done < length;) {
        const MutableBytes part = MutableBytes(piece).first(
            static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), length - done)));
        if (const auto error = readExactly(file_, dataAt_ + done, part))
            return error;
        checksum = crc32c(part, checksum);
        done += part.size();
    }
    std::array<std::uint8_t, checksumBytes> stored{};
    if (const auto error = readExactly(file_, dataAt_ + length, stored))
        return error;
    if (getLittleEndian(stored.data(), checksumBytes) != checksum)
        state = State::Incomplete;
    else if (!wellFormed(header_.spans, length))
        state = State::Unknown;
    return {};
}

std::error_code Journal::append(Bytes bytes) {
    if (const auto error = writeExactly(file_, dataAt_ + appended_, bytes))
        return error;
    checksum_ = crc32c(bytes, checksum_);
    appended_ += bytes.size();
    return {};
}

std::error_code Journal::seal() {
    std::array<std::uint8_t, checksumBytes> trailer{};
    putLittleEndian(trailer.data(), checksum_, checksumBytes);
    if (const auto error = writeExactly(file_, dataAt_ + appended_, trailer))
        return error;
    if (const auto error = file_.syncData())
        return error;
    return os::syncFolderOf(where_.path);
}

std::error_code Journal::restore(const os::File& archive, std::uint64_t count) const {
    std::vector<std::uint8_t> piece(
        static_cast<std::size_t>(std::min<std::uint64_t>(count, journalPieceBytes)));
    std::uint64_t journalled = 0; // of the spans before this one
    for (const JournalSpan& span : header_.spans) {
        if (journalled >= count)
            break;
        const std::uint64_t here = std::min(span.length, count - journalled);
        for (std::uint64_t done = 0; done < here;) {
            const MutableBytes part = MutableBytes(piece).first(
                static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), here - done)));
            if (const auto error = readExactly(file_, dataAt_ + journalled + done, part))
                return error;
            if (const auto error = writeExactly(archive, span.offset + done, part))
                return error;
            done += part.size();
        }
        journalled += span.length;
    }
    return archive.syncData();
}

std::error_code Journal::retire() {
    // Marking it done first means that a removal lost in a crash leaves a journal that cannot
    // put the old bytes back over a completed patch.
    const std::uint8_t done = doneState;
    std::error_code marked = writeExactly(file_, stateAt, Bytes(&done, 1));
    if (!marked)
        marked = file_.syncData();
    // Its one change is flushed already: the close has nothing left to report.
    (void)file_.close();
    if (const auto error = os::removeFile(where_.path))
        return marked ? error : std::error_code{};
    const std::error_code flushed = os::syncFolderOf(where_.path);
    return marked ? flushed : std::error_code{};
}

std::error_code Journal::remove() {
    // Removed next: what the close could report no longer matters.
    (void)file_.close();
    if (const auto error = os::removeFile(where_.path))
        return error;
    return os::syncFolderOf(where_.path);
}

} // namespace dyeloom
