// Extraction: the selected Shp member, byte for byte, to <editor dir>/<name>.SHP.
//
// Name, size and offset come from the catalogue line, not the index. The
// file is written beside its final name and renamed over it once complete,
// so a failure never leaves a half-written file where an earlier one was.
#include <string>
#include <vector>

#include "archive_checks.h"
#include "archive_ops.h"
#include "block_copy.h"
#include "catalogue.h"
#include "file_errors.h"
#include "leftover_file.h"

namespace qax {

namespace {

constexpr std::size_t kExtractBufferSize = std::size_t{1} << 20;

// The name becomes a file name in the editor's directory, so it must not be
// able to name anything else.
std::string MemberNameRefusal(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.find_first_of("/\\") != std::string::npos)
        return "The member name \"" + name +
               "\" cannot be used as a file name in the editor's directory.\nNothing was written.";
    return {};
}

std::string DataFileRefusal(FileSystem& fs, const DataSetPaths& paths, const std::string& outputPath) {
    for (const std::string* dataFile : {&paths.ShpArchivePath, &paths.IndexPath, &paths.SectionPath,
                                        &paths.TxtArchivePath, &paths.PalArchivePath, &paths.TempPath}) {
        if (fs.SameFile(outputPath, *dataFile))
            return "The output file " + outputPath + " is the data file " + *dataFile +
                   " under another name.\nNothing was written.";
    }
    return {};
}

std::string PartialPath(const std::string& outputPath) {
    return outputPath + ".part";
}

std::unique_ptr<File> OpenPartial(FileSystem& fs, const std::string& outputPath) {
    try {
        return fs.Open(PartialPath(outputPath), OpenMode::WriteTruncate);
    } catch (const IoError& error) {
        // The user knows the file by its final name.
        throw IoError(IoStep::Open, outputPath, error.Reason());
    }
}

}  // namespace

ArchiveOutcome ExtractShpMember(const ArchiveContext& context, std::string_view catalogueLine,
                                const std::string& editorDir) {
    const CatalogueEntry member = ReadCatalogueLine(catalogueLine);
    FileSystem& fs = context.fs;
    ReportSink& sink = context.sink;

    if (std::string text = StartUpRefusal(context.table); !text.empty()) return Refuse(sink, text, kExtractCaption);
    if (std::string text = MemberNameRefusal(member.name); !text.empty()) return Refuse(sink, text, kExtractCaption);
    if (member.size < 0)
        return Refuse(sink,
                      "The line of " + member.name + " gives it a negative size (" + std::to_string(member.size) +
                          ").\nNothing was written.",
                      kExtractCaption);
    const std::string outputPath = editorDir + kPathSeparator + member.name + ".SHP";
    if (std::string text = DataFileRefusal(fs, context.paths, outputPath); !text.empty())
        return Refuse(sink, text, kExtractCaption);

    const std::uint64_t size = static_cast<std::uint64_t>(member.size);
    try {
        auto archive = fs.Open(context.paths.ShpArchivePath, OpenMode::Read);
        const std::uint64_t archiveLength = archive->Length();
        // Checked before the output is touched: bytes that are not in the
        // archive must never be written as if they were the member's.
        if (std::uint64_t{member.offset} + size > archiveLength)
            return Refuse(sink,
                          "The member " + member.name + " runs past the end of " + context.paths.ShpArchivePath +
                              " (it ends at byte " + std::to_string(std::uint64_t{member.offset} + size) +
                              ", the archive has " + std::to_string(archiveLength) +
                              ").\nThe list does not match the archive; nothing was written.",
                          kFileErrorCaption);
        archive->Seek(member.offset);
        auto partial = OpenPartial(fs, outputPath);
        std::vector<unsigned char> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(size, kExtractBufferSize)));
        CopyExactly(*archive, *partial, size, buffer);
        partial->Flush();
        partial->Close();
        archive->Close();
        // Only a complete file takes the output's name.
        fs.Rename(PartialPath(outputPath), outputPath);
    } catch (const IoError& error) {
        sink.ShowMessage(FileErrorText(error) + RemoveLeftoverFile(fs, PartialPath(outputPath), "The unfinished file"),
                         kFileErrorCaption);
        return ArchiveOutcome::Failed;
    }
    return ArchiveOutcome::Done;
}

}  // namespace qax
