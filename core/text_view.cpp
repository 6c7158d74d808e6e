#include "text_view.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <variant>

#include "file_access.h"
#include "rebuild_transaction.h"
#include "replacement_inputs.h"

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
// Another editor rebuilding txt.qax holds the data set exclusively: what
// the archive holds at this place may be half old and half new. Nothing,
// after a message, while it does.
std::unique_ptr<DirectoryLock> LockForReading(FileSystem& fs, const DataSetPaths& paths, ReportSink& sink) {
    return LockDataSetForReading(fs, paths, sink, kFileErrorCaption);
}

// The caller holds the shared lock. `selected`, when given, must still be
// the line the index gives at its place; Stale (after a message) otherwise.
std::variant<std::string, ArchiveOutcome> ReadMemberBytes(FileSystem& fs, const DataSetPaths& paths, int group,
                                                          const CatalogueEntry& member, std::size_t wanted,
                                                          ReportSink& sink, const ListedLine* selected) {
    const std::string& archivePath = ArchivePathOf(paths, group);
    std::string text;
    if (selected != nullptr) {
        try {
            const IndexImage index = IndexImage::Load(fs, paths.IndexPath);
            const CurrentSectionTable current = ReadCurrentSectionTable(fs, paths, index.Length());
            if (current.refusal) {
                sink.ShowMessage(*current.refusal, kFileErrorCaption);
                return ArchiveOutcome::Refused;
            }
            if (const Refusal refusal = StaleSelectionRefusal(index, current.table, group, *selected)) {
                sink.ShowMessage(*refusal, kFileErrorCaption);
                return ArchiveOutcome::Stale;
            }
        } catch (const IoError& error) {
            FileErrorReport(sink, error);
            return ArchiveOutcome::Failed;
        }
    }
    try {
        auto archive = fs.Open(archivePath, OpenMode::Read);
        if (std::uint64_t{member.offset} + wanted > archive->Length()) {
            sink.ShowMessage("The member " + member.name + " runs past the end of " + archivePath +
                                 ".\nThe index does not match the archive; nothing is shown.",
                             kFileErrorCaption);
            return ArchiveOutcome::Refused;
        }
        archive->Seek(member.offset);
        text = ReadUpTo(*archive, wanted);
        archive->Close();
    } catch (const IoError& error) {
        FileErrorReport(sink, error);
        return ArchiveOutcome::Failed;
    }
    if (text.size() < wanted) {
        sink.ShowMessage("The member " + member.name + " could not be read whole from " + archivePath + ".",
                         kFileErrorCaption);
        return ArchiveOutcome::Failed;
    }
    return text;
}

}  // namespace

ArchiveOutcome ShowTextMember(const ArchiveContext& context, const ListedLine& selected) {
    const CatalogueEntry member = ReadCatalogueLine(selected.text);
    // Another editor at work only delays the view: what the pane shows
    // stays until the member can be read.
    const auto lock = LockForReading(context.fs, context.paths, context.sink);
    if (!lock) return ArchiveOutcome::Refused;
    context.sink.ClearPane();

    const std::size_t wanted = member.size <= 0 ? 0 : std::min<std::size_t>(member.size, kTextViewLimit);
    auto read = ReadMemberBytes(context.fs, context.paths, Txt, member, wanted, context.sink, &selected);
    if (auto* text = std::get_if<std::string>(&read)) {
        context.sink.SetPaneText(TextUpToFirstZero(std::move(*text)));
        return ArchiveOutcome::Done;
    }
    return std::get<ArchiveOutcome>(read);
}

std::optional<std::string> ReadWholeMember(FileSystem& fs, const DataSetPaths& paths, int group,
                                           const CatalogueEntry& member, ReportSink& sink) {
    const auto lock = LockForReading(fs, paths, sink);
    if (!lock) return std::nullopt;
    auto read = ReadMemberBytes(fs, paths, group, member, member.size <= 0 ? 0 : static_cast<std::size_t>(member.size),
                                sink, nullptr);
    if (auto* text = std::get_if<std::string>(&read)) return std::move(*text);
    return std::nullopt;
}

std::optional<std::string> ReadTextPreview(FileSystem& fs, const std::string& path) {
    try {
        auto file = fs.Open(path, OpenMode::ReadRegular);
        std::string text = ReadUpTo(*file, kTextViewLimit);
        file->Close();
        return TextUpToFirstZero(std::move(text));
    } catch (const IoError&) {
        return std::nullopt;
    }
}

}  // namespace qax
