#include "index_image.h"

#include <stdexcept>

#include "little_endian.h"

namespace qax {

namespace {

constexpr std::uint32_t kSizeField = 8;
constexpr std::uint32_t kOffsetField = 12;

}  // namespace

IndexImage IndexImage::Load(FileSystem& fs, const std::string& indexPath) {
    auto index = fs.Open(indexPath, OpenMode::Read);
    std::vector<unsigned char> bytes(static_cast<std::size_t>(index->Length()));
    if (!bytes.empty() && !ReadExactly(*index, bytes.data(), bytes.size()))
        throw IoError(IoStep::Read, indexPath, MakeDataError(DataError::EndedEarly));
    index->Close();
    return IndexImage(std::move(bytes));
}

IndexEntry IndexImage::EntryAt(std::uint64_t position) const {
    if (position + kIndexEntrySize > Length()) throw std::out_of_range("index entry outside the index image");
    return DecodeIndexEntry(bytes_.data() + position);
}

unsigned char* IndexImage::Field(std::uint64_t entryPosition, std::uint32_t fieldOffset) {
    if (entryPosition + kIndexEntrySize > Length()) throw std::out_of_range("index entry outside the index image");
    return bytes_.data() + entryPosition + fieldOffset;
}

void IndexImage::SetSize(std::uint64_t entryPosition, std::int32_t size) {
    StoreU32(Field(entryPosition, kSizeField), static_cast<std::uint32_t>(size));
}

void IndexImage::SetOffset(std::uint64_t entryPosition, std::uint32_t offset) {
    StoreU32(Field(entryPosition, kOffsetField), offset);
}

}  // namespace qax
