#include "journal.hpp"

#include "checksum.hpp"

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
constexpr std::uint32_t version = 1;
constexpr std::size_t headerBytes = 64;
constexpr std::size_t checksumBytes = 4;
// The surroundings checked on each side of the journalled bytes.
constexpr std::uint64_t surroundingBytes = 4096;
constexpr char journalSuffix[] = ".dyeloom-journal";
// The longest file name the common file systems take (ext4, XFS, NTFS in UTF-16 units, which a
// UTF-8 name never has more of than it has bytes).
constexpr std::size_t maxNameBytes = 255;
// Journalled bytes are copied in pieces of this size: the heap stays small whatever the
// texture's size, and each piece is large enough that the calls cost nothing next to the disk.
constexpr std::size_t pieceBytes = 1 << 20;

void putLittleEndian(std::uint8_t* at, std::uint64_t value, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i)
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t getLittleEndian(const std::uint8_t* at, std::size_t bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < bytes; ++i)
        value |= std::uint64_t{at[i]} << (8 * i);
    return value;
}

std::array<std::uint8_t, headerBytes> encode(const JournalHeader& header) {
    std::array<std::uint8_t, headerBytes> bytes{};
    std::memcpy(bytes.data(), magic, magicBytes);
    bytes[stateAt] = activeState;
    putLittleEndian(&bytes[16], version, 4);
    putLittleEndian(&bytes[20], header.archive.device, 8);
    putLittleEndian(&bytes[28], header.archive.file, 8);
    putLittleEndian(&bytes[36], header.archiveSize, 8);
    putLittleEndian(&bytes[44], header.offset, 8);
    putLittleEndian(&bytes[52], header.length, 8);
    putLittleEndian(&bytes[60], header.surroundings, 4);
    return bytes;
}

JournalHeader decode(const std::uint8_t* bytes) {
    JournalHeader header;
    header.archive = {getLittleEndian(&bytes[20], 8), getLittleEndian(&bytes[28], 8)};
    header.archiveSize = getLittleEndian(&bytes[36], 8);
    header.offset = getLittleEndian(&bytes[44], 8);
    header.length = getLittleEndian(&bytes[52], 8);
    header.surroundings = static_cast<std::uint32_t>(getLittleEndian(&bytes[60], 4));
    return header;
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
    if (getLittleEndian(&head[16], 4) != version)
        return Journal::State::Unknown;
    const std::uint64_t length = getLittleEndian(&head[52], 8);
    if (fileSize < headerBytes + checksumBytes || length != fileSize - headerBytes - checksumBytes)
        return Journal::State::Incomplete;
    return Journal::State::Valid; // so far: the checksum decides
}

// FNV-1a, 64 bits: the same on every platform and in every later version, so that the journal
// of a long name is found again by the next run.
std::uint64_t nameHash(const std::string& name) {
    std::uint64_t hash = 0xCBF29CE484222325ull;
    for (const char c : name)
        hash = (hash ^ static_cast<std::uint8_t>(c)) * 0x100000001B3ull;
    return hash;
}

// The first bytes of `name`, at most `bytes` of them, not cutting a UTF-8 character in two.
std::string leadingCharacters(const std::string& name, std::size_t bytes) {
    std::size_t end = std::min(bytes, name.size());
    while (end > 0 && end < name.size() && (static_cast<std::uint8_t>(name[end]) & 0xC0) == 0x80)
        --end;
    return name.substr(0, end);
}

} // namespace

std::string journalNameFor(const std::string& archiveName) {
    const std::size_t suffixBytes = sizeof journalSuffix - 1;
    if (archiveName.size() + suffixBytes <= maxNameBytes)
        return archiveName + journalSuffix;
    std::string hash(16, '0');
    for (std::uint64_t value = nameHash(archiveName), at = 16; at-- > 0; value >>= 4)
        hash[at] = "0123456789abcdef"[value & 15];
    const std::size_t hashBytes = 1 + hash.size(); // "~" and the hash
    return leadingCharacters(archiveName, maxNameBytes - hashBytes - suffixBytes) + "~" + hash +
           journalSuffix;
}

std::error_code locateJournal(const std::string& archivePath, JournalLocation& location) {
    std::string real;
    if (const auto error = os::realPath(archivePath, real))
        return error;
    const std::size_t realName = os::lastComponentAt(real);
    const std::string name = journalNameFor(real.substr(realName));
    location.path = real.substr(0, realName) + name;
    // Beside the archive as typed when its last component is no link: the typed folder then
    // leads to the real one.
    os::FileStatus typed;
    const bool linked = os::linkStatus(archivePath, typed) || typed.kind == os::FileKind::Link;
    location.shown =
        linked ? location.path : archivePath.substr(0, os::lastComponentAt(archivePath)) + name;
    return {};
}

std::error_code surroundingsOf(const os::File& archive, std::uint64_t archiveSize,
                               std::uint64_t offset, std::uint64_t length,
                               std::uint32_t& checksum) {
    const std::uint64_t before = std::min(offset, surroundingBytes);
    const std::uint64_t end = offset + length;
    const std::uint64_t after =
        end < archiveSize ? std::min(archiveSize - end, surroundingBytes) : 0;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(before + after));
    const MutableBytes all(bytes);
    if (const auto error = readExactly(archive, offset - before, all.first(before)))
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

    header_ = decode(head.data());
    std::uint32_t checksum = crc32c(Bytes(head).subspan(stateAt + 1));
    std::vector<std::uint8_t> piece(
        static_cast<std::size_t>(std::min<std::uint64_t>(header_.length, pieceBytes)));
    for (std::uint64_t done = 0; done < header_.length;) {
        const MutableBytes part = MutableBytes(piece).first(
            static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), header_.length - done)));
        if (const auto error = readExactly(file_, headerBytes + done, part))
            return error;
        checksum = crc32c(part, checksum);
        done += part.size();
    }
    std::array<std::uint8_t, checksumBytes> stored{};
    if (const auto error = readExactly(file_, headerBytes + header_.length, stored))
        return error;
    if (getLittleEndian(stored.data(), checksumBytes) != checksum)
        state = State::Incomplete;
    return {};
}

std::error_code Journal::append(Bytes bytes) {
    if (const auto error = writeExactly(file_, headerBytes + appended_, bytes))
        return error;
    checksum_ = crc32c(bytes, checksum_);
    appended_ += bytes.size();
    return {};
}

std::error_code Journal::seal() {
    std::array<std::uint8_t, checksumBytes> trailer{};
    putLittleEndian(trailer.data(), checksum_, checksumBytes);
    if (const auto error = writeExactly(file_, headerBytes + appended_, trailer))
        return error;
    if (const auto error = file_.syncData())
        return error;
    return os::syncFolderOf(where_.path);
}

std::error_code Journal::restore(const os::File& archive, std::uint64_t count) const {
    std::vector<std::uint8_t> piece(
        static_cast<std::size_t>(std::min<std::uint64_t>(count, pieceBytes)));
    for (std::uint64_t done = 0; done < count;) {
        const MutableBytes part = MutableBytes(piece).first(
            static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), count - done)));
        if (const auto error = readExactly(file_, headerBytes + done, part))
            return error;
        if (const auto error = writeExactly(archive, header_.offset + done, part))
            return error;
        done += part.size();
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
    file_.close();
    if (const auto error = os::removeFile(where_.path))
        return marked ? error : std::error_code{};
    const std::error_code flushed = os::syncFolderOf(where_.path);
    return marked ? flushed : std::error_code{};
}

std::error_code Journal::remove() {
    file_.close();
    if (const auto error = os::removeFile(where_.path))
        return error;
    return os::syncFolderOf(where_.path);
}

} // namespace dyeloom
