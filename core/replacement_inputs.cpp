#include "replacement_inputs.h"

#include "archive_checks.h"
#include "file_errors.h"

namespace qax {

namespace {

std::uint64_t ArchiveLength(FileSystem& fs, const std::string& archivePath) {
    auto archive = fs.Open(archivePath, OpenMode::Read);
    const std::uint64_t length = archive->Length();
    archive->Close();
    return length;
}

}  // namespace

std::uint64_t ReplacementInputs::NewGroupLength() const {
    std::uint64_t length = replacementLength;
    for (std::size_t k = 0; k < members.size(); ++k)
        if (k != selected) length += static_cast<std::uint64_t>(members[k].size);
    return length;
}

IndexImage ReplacementInputs::NewIndex() const {
    IndexImage index = image;
    index.SetSize(SelectedPosition(), static_cast<std::int32_t>(replacementLength));
    std::uint64_t offset = 0;
    for (std::size_t k = 0; k < members.size(); ++k) {
        index.SetOffset(positions[k], static_cast<std::uint32_t>(offset));
        offset += k == selected ? replacementLength : static_cast<std::uint64_t>(members[k].size);
    }
    return index;
}

std::optional<ArchiveOutcome> LoadReplacementInputs(const ArchiveContext& context, int group,
                                                    const std::string& archivePath, const ListedLine& selected,
                                                    const std::string& replacementFileName, ReplacementInputs& inputs) {
    try {
        inputs.image = IndexImage::Load(context.fs, context.paths.IndexPath);
        // Another program may have rewritten the data set since the list was
        // filled: the section file is read again, and the line the user
        // chose must still be the one the index gives at its place.
        const CurrentSectionTable current = ReadCurrentSectionTable(context.fs, context.paths, inputs.image.Length());
        if (!current.refusal.empty()) return Refuse(context.sink, current.refusal, kReplaceCaption);
        inputs.table = current.table;
        if (std::string text = StaleSelectionRefusal(inputs.image, inputs.table, group, selected); !text.empty()) {
            context.sink.ShowMessage(text, kReplaceCaption);
            return ArchiveOutcome::Stale;
        }

        for (std::uint32_t line = 0; line < inputs.table.EntryCount(group); ++line) {
            inputs.positions.push_back(EntryOffset(inputs.table, group, line));
            inputs.members.push_back(inputs.image.EntryAt(inputs.positions.back()));
        }
        inputs.selected = static_cast<std::size_t>(selected.number);

        // Files the user may not write are refused before anything is
        // touched, as opening them for update would be.
        for (const std::string* dataFile : {&archivePath, &context.paths.IndexPath})
            if (!context.fs.MayWrite(*dataFile))
                throw IoError(IoStep::Open, *dataFile, std::make_error_code(std::errc::permission_denied));

        inputs.replacement = context.fs.Open(replacementFileName, OpenMode::Read);
        inputs.replacementLength = inputs.replacement->Length();
        inputs.archiveLength = ArchiveLength(context.fs, archivePath);
    } catch (const IoError& error) {
        FileErrorReport(context.sink, error);
        return ArchiveOutcome::Failed;
    }
    if (std::string text = MemberSizeRefusal(inputs.members); !text.empty())
        return Refuse(context.sink, text, kReplaceCaption);
    return std::nullopt;
}

}  // namespace qax
