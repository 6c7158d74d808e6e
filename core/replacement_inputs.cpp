#include "replacement_inputs.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>

#include "catalogue.h"
#include "little_endian.h"
#include "rebuild_transaction.h"

namespace qax {

namespace {

constexpr std::uint32_t kSizeField = 8;
constexpr std::uint32_t kOffsetField = 12;

const char* const kNothingChanged = "\nNothing was changed.";

std::uint64_t ArchiveLength(FileSystem& fs, const std::string& archivePath) {
    auto archive = fs.Open(archivePath, OpenMode::Read);
    const std::uint64_t length = archive->Length();
    archive->Close();
    return length;
}

}  // namespace

// ---------------------------------------------------------------------------
// The index image.

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

// ---------------------------------------------------------------------------
// The checks.

Refusal StartUpRefusal(const SectionTable& table) {
    if (table != SectionTable{}) return {};
    return "The data set was not loaded when the editor started, so it is neither read nor changed.\n"
           "You must exit.";
}

Refusal SelectionRefusal(int selectedLine, std::uint32_t entryCount) {
    if (selectedLine < 0)
        return std::string("No line is selected: select a member in the list first.") + kNothingChanged;
    if (static_cast<std::uint32_t>(selectedLine) >= entryCount)
        return "Line " + std::to_string(selectedLine + 1) + " is not in the list, which holds " +
               std::to_string(entryCount) + " members." + kNothingChanged;
    return {};
}

Refusal ReplacementFileRefusal(FileSystem& fs, const DataSetPaths& paths, const std::string& archivePath,
                               const std::string& replacementFileName) {
    struct Guarded {
        const std::string& path;
        const char* role;
    };
    for (const Guarded& guarded :
         {Guarded{archivePath, "the archive being rebuilt"}, Guarded{paths.IndexPath, "the index"},
          Guarded{paths.TempPath, "the temporary copy"}}) {
        if (fs.SameFile(replacementFileName, guarded.path))
            return "The replacement file\n" + replacementFileName + "\nis " + guarded.role + " (" + guarded.path +
                   "), which the replacement itself overwrites. Choose another file." + kNothingChanged;
    }
    return {};
}

Refusal SameFileRefusal(FileSystem& fs, const DataSetPaths& paths, const std::string& archivePath,
                        const std::string& replacementFileName) {
    if (Refusal refusal = ReplacementFileRefusal(fs, paths, archivePath, replacementFileName)) return refusal;
    for (const std::string* guarded : {&archivePath, &paths.IndexPath}) {
        if (fs.SameFile(paths.TempPath, *guarded))
            return "The temporary copy " + paths.TempPath + " is the data file " + *guarded +
                   " under another name; copying the archive there would destroy it." + kNothingChanged;
    }
    return {};
}

Refusal MemberSizeRefusal(const std::vector<IndexEntry>& group) {
    for (const IndexEntry& entry : group) {
        if (entry.size < 0)
            return "The index gives the member " + entry.name + " a negative size (" + std::to_string(entry.size) +
                   "); it is damaged." + kNothingChanged;
    }
    return {};
}

Refusal MemberBoundsRefusal(const std::vector<IndexEntry>& members, std::uint64_t archiveLength,
                            const std::string& archivePath) {
    for (const IndexEntry& entry : members) {
        const std::uint64_t end = std::uint64_t{entry.offset} + static_cast<std::uint64_t>(entry.size);
        if (end > archiveLength)
            return "The member " + entry.name + " runs past the end of " + archivePath + " (it ends at byte " +
                   std::to_string(end) + ", the archive has " + std::to_string(archiveLength) +
                   ").\nThe index does not match the archive." + kNothingChanged;
    }
    return {};
}

Refusal BackToBackRefusal(const std::vector<IndexEntry>& members) {
    std::uint64_t expected = 0;
    for (const IndexEntry& member : members) {
        if (member.offset != expected)
            return "The Shp entries of the index do not lie back to back: " + member.name + " is at offset " +
                   std::to_string(member.offset) + " where " + std::to_string(expected) +
                   " was expected.\nFresh offsets would not match the archive." + kNothingChanged;
        expected += static_cast<std::uint64_t>(member.size);
    }
    return {};
}

std::string TextLayoutChanges(const std::vector<IndexEntry>& members, std::uint64_t archiveLength) {
    const auto end = [](const IndexEntry& member) {
        return std::uint64_t{member.offset} + static_cast<std::uint64_t>(member.size);
    };
    std::vector<std::string> changes;
    // Out of index order: a member with bytes that starts before one that
    // comes earlier in the index. (Two that start together share bytes.)
    const IndexEntry* furthest = nullptr;
    for (const IndexEntry& member : members) {
        if (member.size == 0) continue;
        if (furthest != nullptr && member.offset < furthest->offset) {
            changes.push_back(member.name + " lies before " + furthest->name + ", which comes before it in the index");
            break;
        }
        if (furthest == nullptr || member.offset > furthest->offset) furthest = &member;
    }
    // Shared bytes and bytes no entry points to, from the members in the
    // order they lie in the archive.
    std::vector<const IndexEntry*> byOffset;
    for (const IndexEntry& member : members)
        if (member.size != 0) byOffset.push_back(&member);
    std::stable_sort(byOffset.begin(), byOffset.end(),
                     [](const IndexEntry* a, const IndexEntry* b) { return a->offset < b->offset; });
    std::string shared;
    std::uint64_t covered = 0;
    const IndexEntry* reach = nullptr;  // the member that reaches furthest so far
    for (const IndexEntry* member : byOffset) {
        if (reach != nullptr && member->offset < end(*reach)) {
            if (shared.empty()) shared = member->name + " and " + reach->name + " share bytes";
            if (end(*member) > end(*reach)) covered += end(*member) - end(*reach);
        } else {
            covered += static_cast<std::uint64_t>(member->size);
        }
        if (reach == nullptr || end(*member) > end(*reach)) reach = member;
    }
    if (!shared.empty()) changes.push_back(shared);
    if (covered < archiveLength) {
        const std::uint64_t loose = archiveLength - covered;
        changes.push_back(std::to_string(loose) + (loose == 1 ? " byte" : " bytes") + " that no entry points to");
    }
    // With none of these, the members with bytes lie back to back in index
    // order: only an empty member can be elsewhere than that layout puts it.
    if (changes.empty()) {
        std::uint64_t expected = 0;
        for (const IndexEntry& member : members) {
            if (member.offset != expected) {
                changes.push_back("the empty member " + member.name + " is at offset " + std::to_string(member.offset) +
                                  ", not at " + std::to_string(expected));
                break;
            }
            expected += static_cast<std::uint64_t>(member.size);
        }
    }
    std::string text;
    for (const std::string& change : changes) text += (text.empty() ? "" : "; ") + change;
    return text;
}

Refusal NewSizeRefusal(std::uint64_t replacementLength, std::uint64_t newGroupLength,
                       const std::string& replacementFileName) {
    if (replacementLength > static_cast<std::uint64_t>(INT32_MAX))
        return "The replacement file " + replacementFileName + " has " + std::to_string(replacementLength) +
               " bytes; a member can hold at most " + std::to_string(INT32_MAX) + "." + kNothingChanged;
    if (newGroupLength > UINT32_MAX)
        return "With the replacement file " + replacementFileName + " the archive would grow to " +
               std::to_string(newGroupLength) + " bytes, past the 4 GiB that the index's offsets can address." +
               kNothingChanged;
    return {};
}

Refusal ReplacementStartRefusal(const ArchiveContext& context, int group, const std::string& archivePath,
                                int selectedLine, const std::string& replacementFileName) {
    if (Refusal refusal = StartUpRefusal(context.table)) return refusal;
    if (Refusal refusal = SelectionRefusal(selectedLine, context.table.EntryCount(group))) return refusal;
    return SameFileRefusal(context.fs, context.paths, archivePath, replacementFileName);
}

CurrentSectionTable ReadCurrentSectionTable(FileSystem& fs, const DataSetPaths& paths, std::uint64_t indexLength) {
    const SectionLoadResult section = LoadSectionTable(fs, paths.SectionPath);
    // The editor started with a sound section file, so one that cannot be
    // read whole now is a file failure like any other.
    if (section.status == SectionLoadStatus::CannotOpen)
        throw IoError(IoStep::Open, paths.SectionPath, std::make_error_code(std::errc::io_error));
    if (section.status == SectionLoadStatus::TooShort)
        throw IoError(IoStep::Read, paths.SectionPath, MakeDataError(DataError::EndedEarly));
    if (section.status != SectionLoadStatus::Loaded)
        throw IoError(IoStep::Read, paths.SectionPath, std::make_error_code(std::errc::io_error));
    if (std::string problem = SectionTableProblem(section.table, indexLength); !problem.empty())
        return {
            {},
            "The section file " + paths.SectionPath + " no longer fits the index: " + problem + "." + kNothingChanged};
    return {section.table, {}};
}

CurrentSectionTable ReadCurrentSectionTable(FileSystem& fs, const DataSetPaths& paths) {
    try {
        auto index = fs.Open(paths.IndexPath, OpenMode::Read);
        const std::uint64_t length = index->Length();
        index->Close();
        return ReadCurrentSectionTable(fs, paths, length);
    } catch (const IoError& error) {
        return {{}, std::string(error.what())};
    }
}

Refusal StaleSelectionRefusal(const IndexImage& index, const SectionTable& table, int group,
                              const ListedLine& selected) {
    const bool stillThere =
        selected.number >= 0 && static_cast<std::uint32_t>(selected.number) < table.EntryCount(group) &&
        EntryOffset(table, group, static_cast<std::uint32_t>(selected.number)) + kIndexEntrySize <= index.Length();
    if (stillThere && FormatCatalogueLine(index.EntryAt(
                          EntryOffset(table, group, static_cast<std::uint32_t>(selected.number)))) == selected.text)
        return {};
    return std::string(kDataSetChangedText) + kNothingChanged;
}

ArchiveOutcome Refuse(ReportSink& sink, const std::string& text, const char* caption) {
    sink.ShowMessage(text, caption);
    return ArchiveOutcome::Refused;
}

// ---------------------------------------------------------------------------
// The inputs.

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

OpenedReplacements OpenReplacementFiles(const ArchiveContext& context, const std::vector<std::string>& archivePaths,
                                        const std::vector<std::string>& replacementFileNames,
                                        const std::vector<bool>& keepOpen) {
    OpenedReplacements opened;
    const std::string* current = nullptr;
    try {
        // Files the user may not write are refused before anything is
        // touched, as opening them for update would be.
        if (!context.fs.MayWrite(context.paths.IndexPath))
            throw IoError(IoStep::Open, context.paths.IndexPath, std::make_error_code(std::errc::permission_denied));
        for (std::size_t i = 0; i < replacementFileNames.size(); ++i) {
            current = &replacementFileNames[i];
            auto file = context.fs.Open(*current, OpenMode::ReadRegular);
            opened.lengths.push_back(file->Length());
            if (!keepOpen.empty() && !keepOpen[i]) {
                file->Close();
                file.reset();
            }
            opened.files.push_back(std::move(file));
        }
        current = nullptr;
        for (const std::string& archivePath : archivePaths)
            if (!context.fs.MayWrite(archivePath))
                throw IoError(IoStep::Open, archivePath, std::make_error_code(std::errc::permission_denied));
    } catch (const IoError& error) {
        opened.files.clear();
        if (current != nullptr && error.Reason() == MakeDataError(DataError::NotARegularFile)) {
            opened.stopped = Refuse(context.sink,
                                    "The replacement file\n" + *current +
                                        "\nis not a regular file (it is a pipe, a device or a directory), so it has "
                                        "no fixed bytes to put in the archive. Choose a file." +
                                        kNothingChanged,
                                    kReplaceCaption);
            return opened;
        }
        FileErrorReport(context.sink, error);
        opened.stopped = ArchiveOutcome::Failed;
        return opened;
    }
    if (const Refusal refusal = DataSetLayoutRefusal(context.fs, context.paths, archivePaths)) {
        opened.files.clear();
        opened.stopped = Refuse(context.sink, *refusal, kReplaceCaption);
    }
    return opened;
}

LoadedReplacementInputs LoadReplacementInputs(const ArchiveContext& context, int group, const std::string& archivePath,
                                              const ListedLine& selected, std::unique_ptr<File> replacement) {
    ReplacementInputs inputs;
    try {
        inputs.image = IndexImage::Load(context.fs, context.paths.IndexPath);
        // Another program may have rewritten the data set since the list was
        // filled: the section file is read again, and the line the user
        // chose must still be the one the index gives at its place.
        const CurrentSectionTable current = ReadCurrentSectionTable(context.fs, context.paths, inputs.image.Length());
        if (current.refusal) return Refuse(context.sink, *current.refusal, kReplaceCaption);
        inputs.table = current.table;
        if (const Refusal refusal = StaleSelectionRefusal(inputs.image, inputs.table, group, selected)) {
            context.sink.ShowMessage(*refusal, kReplaceCaption);
            return ArchiveOutcome::Stale;
        }

        for (std::uint32_t line = 0; line < inputs.table.EntryCount(group); ++line) {
            inputs.positions.push_back(EntryOffset(inputs.table, group, line));
            inputs.members.push_back(inputs.image.EntryAt(inputs.positions.back()));
        }
        inputs.selected = static_cast<std::size_t>(selected.number);

        inputs.replacement = std::move(replacement);
        inputs.replacementLength = inputs.replacement->Length();
        inputs.archiveLength = ArchiveLength(context.fs, archivePath);
    } catch (const IoError& error) {
        FileErrorReport(context.sink, error);
        return ArchiveOutcome::Failed;
    }
    if (const Refusal refusal = MemberSizeRefusal(inputs.members))
        return Refuse(context.sink, *refusal, kReplaceCaption);
    return inputs;
}

}  // namespace qax
