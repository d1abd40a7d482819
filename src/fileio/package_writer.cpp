#include "package_writer.hpp"

#include <utility>

namespace dyeloom {

std::error_code PackageWriter::create(const std::string& path, std::int32_t headerBytes,
                                      PackageWriter& writer) {
    PackageWriter made;
    if (const auto error = os::File::open(path, os::File::Access::CreateNew, made.file_))
        return error;
    made.path_ = path;
    made.finished_ = false;
    made.header_.headerBytes = headerBytes;
    writer = std::move(made);
    return {};
}

PackageWriter::PackageWriter(PackageWriter&& other) noexcept {
    *this = std::move(other);
}

PackageWriter& PackageWriter::operator=(PackageWriter&& other) noexcept {
    if (this != &other) {
        discard();
        path_ = std::move(other.path_);
        file_ = std::move(other.file_);
        header_ = other.header_;
        dataEnd_ = other.dataEnd_;
        directory_ = std::move(other.directory_);
        finished_ = std::exchange(other.finished_, true);
    }
    return *this;
}

PackageWriter::~PackageWriter() {
    discard();
}

void PackageWriter::discard() noexcept {
    if (finished_)
        return;
    finished_ = true;
    (void)file_.close();
    (void)os::removeFile(path_);
}

std::error_code PackageWriter::writeData(Bytes bytes) {
    std::size_t written = 0;
    if (const auto error = file_.writeAt(dataEnd_, bytes, written))
        return error;
    dataEnd_ += bytes.size();
    return {};
}

void PackageWriter::addEntry(const PackageEntry& entry) {
    const ByteBuffer bytes = encodePackageEntry(entry);
    directory_.insert(directory_.end(), bytes.begin(), bytes.end());
    ++header_.textures;
}

std::error_code PackageWriter::finish() {
    header_.directoryAt = dataEnd_;
    header_.directoryBytes = directory_.size();
    std::size_t written = 0;
    if (const auto error = file_.writeAt(dataEnd_, directory_, written))
        return error;
    Digest checksum;
    checksum.add(checkedHeaderPart(encodePackageHeader(header_)));
    checksum.add(directory_);
    header_.checksum = checksum.value();
    // The header last: a file cut short before it is no package. One flush puts the whole file on
    // the disk; should power fail before it ends, a header that outlived data it describes is
    // caught by the data's digests, which every reading checks before anything is written.
    if (const auto error = file_.writeAt(0, encodePackageHeader(header_), written))
        return error;
    if (const auto error = file_.syncData())
        return error;
    if (const auto error = file_.close())
        return error;
    finished_ = true;
    return {};
}

} // namespace dyeloom
