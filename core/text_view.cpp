#include "text_view.h"

#include <algorithm>
#include <filesystem>

#include "file_access.h"
#include "rebuild_transaction.h"

namespace qax {

std::string TextUpToFirstZero(std::string bytes) {
    bytes.resize(std::min(bytes.size(), bytes.find('\0')));
    return bytes;
}

namespace {

std::string ReadUpTo(File& file, std::size_t limit) {
    std::string bytes(limit, '\0');
    bytes.resize(file.Read(bytes.data(), bytes.size()));
    return bytes;
}

// The first `wanted` bytes of the member, under the shared lock; nothing,
// after a message, when they cannot all be read. Bytes past the end of the
// archive are not part of any member and are never returned as if they were.
std::optional<std::string> ReadMemberBytes(FileSystem& fs, const std::string& txtArchivePath,
                                           const CatalogueEntry& member, std::size_t wanted, ReportSink& sink) {
    // Another editor rebuilding txt.qax holds the data set exclusively: what
    // the archive holds at this place may be half old and half new.
    const auto lock = LockDataSetForReading(fs, std::filesystem::path(txtArchivePath).parent_path().string(), sink,
                                            kFileErrorCaption);
    if (!lock) return std::nullopt;
    std::string text;
    try {
        auto archive = fs.Open(txtArchivePath, OpenMode::Read);
        if (std::uint64_t{member.offset} + wanted > archive->Length()) {
            sink.ShowMessage("The member " + member.name + " runs past the end of " + txtArchivePath +
                                 ".\nThe index does not match the archive; nothing is shown.",
                             kFileErrorCaption);
            return std::nullopt;
        }
        archive->Seek(member.offset);
        text = ReadUpTo(*archive, wanted);
        archive->Close();
    } catch (const IoError& error) {
        FileErrorReport(sink, error);
        return std::nullopt;
    }
    if (text.size() < wanted) {
        sink.ShowMessage("The member " + member.name + " could not be read whole from " + txtArchivePath + ".",
                         kFileErrorCaption);
        return std::nullopt;
    }
    return text;
}

}  // namespace

void ShowTextMember(FileSystem& fs, const std::string& txtArchivePath, std::string_view catalogueLine,
                    ReportSink& sink) {
    const CatalogueEntry member = ReadCatalogueLine(catalogueLine);
    sink.ClearPane();

    const std::size_t wanted = member.size <= 0 ? 0 : std::min<std::size_t>(member.size, kTextViewLimit);
    if (std::optional<std::string> text = ReadMemberBytes(fs, txtArchivePath, member, wanted, sink))
        sink.SetPaneText(TextUpToFirstZero(std::move(*text)));
}

std::optional<std::string> ReadTextMember(FileSystem& fs, const std::string& txtArchivePath,
                                          const CatalogueEntry& member, ReportSink& sink) {
    return ReadMemberBytes(fs, txtArchivePath, member, member.size <= 0 ? 0 : static_cast<std::size_t>(member.size),
                           sink);
}

std::optional<std::string> ReadTextPreview(FileSystem& fs, const std::string& path) {
    try {
        auto file = fs.Open(path, OpenMode::Read);
        std::string text = ReadUpTo(*file, kTextViewLimit);
        file->Close();
        return TextUpToFirstZero(std::move(text));
    } catch (const IoError&) {
        return std::nullopt;
    }
}

}  // namespace qax
