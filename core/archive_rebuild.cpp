#include "archive_rebuild.h"

#include <exception>
#include <memory>

#include "file_errors.h"
#include "leftover_file.h"
#include "safety_copy.h"

namespace qax {

namespace {

// What failed, for a failure that may have changed the archive: the file and
// the system's reason, also for an open.
std::string FailureText(const std::exception& failure) {
    if (const auto* io = dynamic_cast<const IoError*>(&failure)) {
        std::string text = FileErrorText(*io);
        if (io->Step() == IoStep::Open) text += "(" + io->Reason().message() + ")";
        return text;
    }
    return std::string("The replacement stopped: ") + failure.what();
}

}  // namespace

ArchiveOutcome RebuildArchive(const ArchiveContext& context, const RebuildJob& job) {
    FileSystem& fs = context.fs;
    const std::string& copyPath = context.paths.TempPath;
    const std::string& indexPath = context.paths.IndexPath;

    std::unique_ptr<File> copy;
    try {
        copy = MakeSafetyCopy(fs, job.archivePath, copyPath, job.archiveLength);
    } catch (const IoError& error) {
        copy.reset();
        context.sink.ShowMessage(
            FailureText(error) + "\n\nThe archive and the index are unchanged." + RemoveSafetyCopy(fs, copyPath),
            kFileErrorCaption);
        return ArchiveOutcome::Failed;
    }

    // The archive is rewritten in place and cut to its new length at the end:
    // the result is the same as emptying it first, but overwriting pages the
    // system already holds costs far less than freeing them all and
    // allocating them again.
    std::unique_ptr<File> archive;
    try {
        archive = fs.Open(job.archivePath, OpenMode::ReadUpdate);
    } catch (const IoError& error) {
        // An open that fails has not touched the file.
        copy.reset();
        context.sink.ShowMessage(FileErrorText(error) + RemoveSafetyCopy(fs, copyPath), kFileErrorCaption);
        return ArchiveOutcome::Failed;
    }

    try {
        job.writeArchive(*copy, *archive);
        if (archive->Position() != job.newArchiveLength)
            throw IoError(IoStep::Write, job.archivePath, MakeDataError(DataError::WrongLength));
        archive->SetLength(job.newArchiveLength);
        archive->Flush();
        archive->Close();
        copy->Close();
        archive.reset();
        copy.reset();
        ReplaceIndexFile(fs, indexPath, *job.newIndex);
    } catch (const std::exception& failure) {
        // Closed before the restore writes the archive again. A new index
        // left half-written beside the old one must not linger to be
        // mistaken for it.
        archive.reset();
        copy.reset();
        context.sink.ShowMessage(FailureText(failure) + RestoreFromSafetyCopy(fs, job.archivePath, copyPath) +
                                     RemoveLeftoverFile(fs, IndexSiblingPath(indexPath), "The unfinished new index"),
                                 kFileErrorCaption);
        return ArchiveOutcome::Failed;
    }

    // The new archive and index are in place; what follows cannot undo that,
    // so its failures are told but the replacement stands.
    std::string afterwards;
    try {
        fs.SyncDirectoryOf(indexPath);
    } catch (const IoError& error) {
        afterwards += "\n\n" + FileErrorText(error) + "\nThe new index is in place but may not survive a power cut.";
    }
    afterwards += RemoveSafetyCopy(fs, copyPath);
    if (!afterwards.empty()) context.sink.ShowMessage("The member was replaced." + afterwards, kFileErrorCaption);
    return ArchiveOutcome::Done;
}

}  // namespace qax
