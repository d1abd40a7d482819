// Writing a package (package_format.hpp): the data first, entry after entry, then the directory,
// then the header, whose checksum covers the directory, so that a file cut short anywhere has no
// header and is never taken for a package; then one flush. The file is created new, never over
// another, and is removed unless it is finished.
#pragma once

#include "os_file.hpp"
#include "package_format.hpp"

#include <cstdint>
#include <string>

namespace dyeloom {

class PackageWriter {
public:
    // Creates the file at `path`; it fails if anything is at that name. Returns the error, or
    // nothing with the writer open.
    [[nodiscard]] static std::error_code create(const std::string& path, std::int32_t headerBytes,
                                                PackageWriter& writer);

    PackageWriter() = default;
    PackageWriter(PackageWriter&& other) noexcept;
    PackageWriter& operator=(PackageWriter&& other) noexcept;
    ~PackageWriter();

    // Where the next data written starts.
    [[nodiscard]] std::uint64_t dataEnd() const noexcept { return dataEnd_; }
    // Appends `bytes` to the data.
    [[nodiscard]] std::error_code writeData(Bytes bytes);
    // Adds an entry to the directory: its data, written before, must end at dataEnd().
    void addEntry(const PackageEntry& entry);
    // Writes the directory and the header and puts the file on the disk. The file is kept.
    [[nodiscard]] std::error_code finish();

    [[nodiscard]] const std::string& path() const noexcept { return path_; }
    [[nodiscard]] std::uint64_t size() const noexcept { return dataEnd_ + directory_.size(); }

private:
    void discard() noexcept;

    std::string path_;
    os::File file_;
    PackageHeader header_;
    std::uint64_t dataEnd_ = packageHeaderBytes;
    ByteBuffer directory_;
    bool finished_ = true; // nothing to remove
};

} // namespace dyeloom
