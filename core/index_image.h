// The whole index held in memory while an archive is rebuilt, and the one
// safe way of writing it back.
//
// The image is as long as the index file is, whatever that length: nothing
// in it is cut off and nothing is read past its end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "file_access.h"
#include "index_file.h"

namespace qax {

class IndexImage {
public:
    // Reads the whole index; IoError when it cannot be opened or read whole.
    static IndexImage Load(FileSystem& fs, const std::string& indexPath);

    IndexImage() = default;
    explicit IndexImage(std::vector<unsigned char> bytes) : bytes_(std::move(bytes)) {}

    std::uint64_t Length() const { return bytes_.size(); }
    const std::vector<unsigned char>& Bytes() const { return bytes_; }

    // The entry at byte `position`; the image must hold all 16 bytes of it.
    IndexEntry EntryAt(std::uint64_t position) const;
    void SetSize(std::uint64_t entryPosition, std::int32_t size);
    void SetOffset(std::uint64_t entryPosition, std::uint32_t offset);

private:
    unsigned char* Field(std::uint64_t entryPosition, std::uint32_t fieldOffset);

    std::vector<unsigned char> bytes_;
};

}  // namespace qax
